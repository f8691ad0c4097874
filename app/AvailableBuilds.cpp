#include "app/AvailableBuilds.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/Log.h"
#include "server/HTTPConnectionShare.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"

namespace {

constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
// Build lists asked of the server at the same time: enough to hide the round trips of
// a line of modules, few enough not to look like a storm to the server.
constexpr size_t SERVER_REQUESTS_AT_ONCE = 4;
const char* const IMAGE_SUFFIX = ".bird";

// Decimal text of a build number; 0 for anything else (0 is no build either).
uint32_t _build_of(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const uint64_t value = std::stoull(text);
    return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

// The build number of a stored image's name "<build>.bird"; 0 for other names.
uint32_t _stored_build(const std::string& name)
{
    const size_t suffix = name.size() - std::min(name.size(), strlen(IMAGE_SUFFIX));
    if (name.compare(suffix, std::string::npos, IMAGE_SUFFIX) != 0)
        return 0;
    return _build_of(name.substr(0, suffix));
}

}  // namespace

const char* BuildSource_Name(BuildSource source)
{
    switch (source) {
    case BuildSource::Store:
        return "store";
    case BuildSource::Server:
        return "server";
    case BuildSource::None:
        break;
    }
    return nullptr;
}

bool _is_behind(uint32_t running_build, const AvailableBuild& available)
{
    return available.source != BuildSource::None && available.build > running_build;
}

AvailableBuild _newer_build(const AvailableBuild& stored, const AvailableBuild& offered)
{
    if (offered.source == BuildSource::None)
        return stored;
    if (stored.source == BuildSource::None)
        return offered;
    return offered.build > stored.build ? offered : stored;
}

AvailableBuild _newest_listed(const BuildMap& builds, BuildSource source)
{
    AvailableBuild newest;
    for (const auto& [text, version] : builds) {
        const uint32_t build = _build_of(text);
        if (build > newest.build)
            newest = AvailableBuild{build, version, source};
    }
    return newest;
}

AvailableBuild _newest_stored(const std::string& store_path, uint32_t serial)
{
    std::vector<UpdaterStoreItem> items;
    try {
        UpdaterStore(store_path.c_str()).FindLocalBuilds(serial, items);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "Newest stored build of %08X: %s\n", serial, e.what());
        return {};
    }
    std::vector<std::pair<uint32_t, std::string>> images;
    for (const UpdaterStoreItem& item : items)
        if (const uint32_t build = _stored_build(item.name))
            images.emplace_back(build, item.basePath + "/" + item.name);
    std::sort(images.begin(), images.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    // Only the newest image is read, unless it turns out damaged.
    for (const auto& [build, path] : images) {
        try {
            return AvailableBuild{build, BirdFile(path.c_str()).GetVersion(), BuildSource::Store};
        } catch (const std::runtime_error&) {
            Log::log(DEBUG_Updater, "Newest stored build: %s does not load; passed over\n", path.c_str());
        }
    }
    return {};
}

AvailableBuilds::AvailableBuilds(UpdaterDisplayInterface& display, std::string store_path, std::string server_url)
    : display_(display), store_path_(std::move(store_path)), server_url_(std::move(server_url))
{
}

bool AvailableBuilds::_server_usable()
{
    if (server_url_.empty())
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!server_answered_) {
        server_answered_ = UpdateServerRequest::ping(server_url_.c_str());
        if (!*server_answered_)
            display_.message(LEVEL_ERR, "Server request failed for %s", server_url_.c_str());
    }
    return *server_answered_;
}

BuildMap AvailableBuilds::_server_builds(uint32_t serial)
{
    BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url_.c_str()))
        Log::log(DEBUG_Updater, "The server lists no builds for %08X\n", serial);
    return builds;
}

void AvailableBuilds::Lookup(const std::vector<uint32_t>& serials)
{
    std::vector<uint32_t> missing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t serial : serials)
            if (!known_.count(serial) && std::find(missing.begin(), missing.end(), serial) == missing.end())
                missing.push_back(serial);
    }
    if (missing.empty())
        return;
    HTTPConnectionShare connections;  // one session for the ping and every list
    const bool ask_server = _server_usable();
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < missing.size(); i = next++) {
            const uint32_t serial = missing[i];
            AvailableBuild newest = _newest_stored(store_path_, serial);
            if (ask_server)
                newest = _newer_build(newest, _newest_listed(_server_builds(serial), BuildSource::Server));
            std::lock_guard<std::mutex> lock(mutex_);
            known_[serial] = newest;
        }
    };
    std::vector<std::thread> helpers;
    const size_t workers = ask_server ? std::min(missing.size(), SERVER_REQUESTS_AT_ONCE) : 1;
    for (size_t i = 1; i < workers; ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
}

AvailableBuild AvailableBuilds::Newest(uint32_t serial)
{
    Lookup({serial});
    std::lock_guard<std::mutex> lock(mutex_);
    return known_[serial];
}

bool AvailableBuilds::ServerFailed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return server_answered_ == false;
}
