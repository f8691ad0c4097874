#include "app/Updater.h"

Updater::Updater(const std::string& server_url, const std::string& store_path, UpdaterDisplayInterface& display)
    : server_url(server_url), store_path(store_path), display(display)
{
}
