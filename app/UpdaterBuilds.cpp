// Updater operations that talk to the update server: build lists, the download of a
// build into the local store, and device tokens; plus opening the store and finding
// the BIRD file for an update or a recovery.
#include "app/Updater.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

}  // namespace

BuildMap Updater::Get_BuildList(uint32_t serial) {
    BuildMap builds;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
        display.message(ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
    std::string token;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str()))
        display.message(ERROR, "Failed to retrieve jwt for %08X", serial);
    return token;
}
