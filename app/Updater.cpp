#include "app/Updater.h"

Updater::Updater(const std::string& server_url, const std::string& store_path, UpdaterDisplayInterface& display)
    : server_url(server_url), store_path(store_path), display(display)
{
}

Outcome Updater::Get_Outcome() const
{
    std::lock_guard<std::mutex> lock(outcome_mutex);
    return outcome;
}

void Updater::Clear_Outcome()
{
    Note_Outcome([](Outcome& cleared) { cleared = Outcome(); });
}

void Updater::Note_Outcome(const std::function<void(Outcome&)>& change)
{
    std::lock_guard<std::mutex> lock(outcome_mutex);
    change(outcome);
}
