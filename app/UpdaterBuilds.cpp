// Updater operations that talk to the update server: build lists, the download of a
// build into the local store and device tokens; and finding the BIRD file for an
// update or a recovery.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/History.h"
#include "app/Updater.h"
#include "app/UpdaterVerify.h"
#include "common/Log.h"
#include "server/HTTPConnectionShare.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto SPINNER_PERIOD = std::chrono::milliseconds(100);
const char* const SPINNER_LABEL = "Downloading";

const char* const KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
const char* const KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";

// The whole text as an unsigned 32-bit decimal number.
bool _read_decimal(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
    }
    if (result > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

// A build number sent by the server; a trailing carriage return is no part of it.
uint32_t _server_build(const std::string& text)
{
    uint32_t build = 0;
    const size_t end = text.find_last_not_of(" \t\r");
    if (end == std::string::npos || !_read_decimal(text.substr(0, end + 1), build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return build;
}

std::string _hex_text(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string _file_name(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// Local time in ctime's form, without its line end.
std::string _local_time_text()
{
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (!ctime_r(&now, text))
        return "";
    std::string result = text;
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    return result;
}

// True when the server lists the build for the device.
bool _valid_build(uint32_t serial, uint32_t build, const std::string& server_url)
{
    BuildMap builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
        return false;
    for (const auto& entry : builds)
        if (_server_build(entry.first) == build)
            return true;
    return false;
}

// Fetches the image line on a worker thread while this thread turns the spinner.
// The worker owns copies of its arguments; file_text and the promise outlive it.
bool _fetch_image(UpdaterDisplayInterface& display, uint32_t serial, const std::string& firmware,
                  const std::string& build, bool no_calibration, const std::string& server_url, std::string& file_text)
{
    std::promise<bool> fetched;
    std::future<bool> result = fetched.get_future();
    std::thread worker([&fetched, &file_text, serial, firmware, build, no_calibration, server_url] {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serial, firmware, build, file_text, server_url.c_str(), no_calibration);
        } catch (const std::exception& e) {
            Log::log(DEBUG_APP, "Download_Firmware: %s\n", e.what());
        }
        fetched.set_value(ok);
    });
    display.update_spinner(true, SPINNER_LABEL);
    while (result.wait_for(SPINNER_PERIOD) != std::future_status::ready)
        display.update_spinner(true, SPINNER_LABEL);
    display.update_spinner(false, SPINNER_LABEL);
    const bool ok = result.get();
    worker.join();
    if (!ok)
        display.message(LEVEL_ERR, "Download failed");
    return ok;
}

// A downloaded image is kept only when it loads: the BIRD header, then a zlib stream
// that inflates. The loaded image names the firmware for the history.
bool _loadable_bird(const unsigned char* bytes, size_t length, BirdFile& bird)
{
    if (length <= BirdFile::HEADER_SIZE || std::memcmp(bytes, BirdFile::BIRD_FILE_SIGNATURE, 4) != 0 || bytes[4] == 0 ||
        bytes[5] == 0)
        return false;
    return bird.LoadBytes(bytes, length);
}

void _refuse_image(UpdaterDisplayInterface& display, uint32_t build, const char* fault)
{
    Log::log(DEBUG_APP, "Download_Firmware: the image of build %u %s\n", build, fault);
    display.message(LEVEL_ERR, "Failed to retrieve a valid BIRD file");
}

}  // namespace

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& store_path,
                                                  const char* caller)
{
    try {
        return std::make_unique<UpdaterStore>(store_path.c_str());
    } catch (const std::runtime_error& e) {
        display.message(LEVEL_ERR, "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
        return nullptr;
    }
}

BuildMap Updater::Get_BuildList(uint32_t serial, std::string* failure)
{
    HTTPConnectionShare connection;
    BuildMap builds;
    std::string reason;
    if (!UpdateServerRequest::ping(server_url.c_str()))
        reason = "Server request failed for " + server_url;
    else if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
        reason = "Failed to retrieve builds for " + _hex_text(serial);
    if (!reason.empty())
        display.message(LEVEL_ERR, "%s", reason.c_str());
    if (failure)
        *failure = reason;
    return builds;
}

BuildMap Updater::Get_BuildListLocal(uint32_t serial)
{
    BuildMap builds;
    auto store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string key = item.name.substr(0, item.name.find(".bird"));
        const std::string path = item.basePath + "/" + item.name;
        std::string version;
        try {
            if (item.IsValid() && BirdFile::VerifyFile(path.c_str()))
                version = BirdFile(path.c_str()).GetVersion();
            else
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        } catch (const std::runtime_error&) {
            Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
        builds.emplace(key, version);
    }
    return builds;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& build_text, bool override_checks,
                                    bool no_calibration)
{
    uint32_t build = 0;
    if (!build_text.empty() && !_read_decimal(build_text, build)) {
        display.message(LEVEL_ERR, "Build number '%s' must be an number", build_text.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(LEVEL_ERR, "Serial Number must be non-zero");
        return 0;
    }
    HTTPConnectionShare connection;  // four requests to one server
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(LEVEL_ERR, "Server request failed for %s", server_url.c_str());
        return 0;
    }
    auto store = _createUpdaterStore(display, store_path, "Download_Firmware");
    if (!store)
        return 0;
    // The device directory is made only once there is a good image to put in it, so
    // that a failed download leaves the store as it was.
    const bool known_device = store->FindDevice(serial, nullptr);
    if (!known_device)
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");

    std::string latest, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, server_url.c_str())) {
        display.message(LEVEL_ERR, "No build information for device");
        return 0;
    }
    if (build == 0)
        build = _server_build(latest);
    display.message(INFO, "Retrieving build %u", build);
    if (override_checks) {
        display.message(INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(INFO, "Validating build %u with server", build);
        if (!_valid_build(serial, build, server_url)) {
            display.message(LEVEL_ERR, "No valid build %u", build);
            return 0;
        }
        display.message(INFO, "Build %u is valid", build);
    }

    std::string file_text;
    _fetch_image(display, serial, firmware, std::to_string(build), no_calibration, server_url, file_text);
    if (file_text.empty()) {
        display.message(LEVEL_ERR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    // The image takes the place of its text: no second buffer of its size.
    size_t length = 0;
    if (!UpdateServerRequest::base64_decode_in_place(file_text.data(), file_text.size(), &length)) {
        _refuse_image(display, build, "is not Base64");
        return 0;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(file_text.data());

    // The image is checked, and what the history says of it worked out, while the store
    // waits for the disk; only a good image takes its name, and only a good image makes
    // a new device directory.
    BirdFile bird;
    std::shared_future<bool> loadable =
        std::async(std::launch::async, _loadable_bird, bytes, length, std::ref(bird)).share();
    auto digest = std::async(std::launch::async, _image_digest, bytes, length);
    if (!known_device && !loadable.get()) {
        _refuse_image(display, build, "is no loadable BIRD file");
        return 0;
    }
    UpdaterStoreItem item;
    try {
        item = store->AddDevice(serial);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "Download_Firmware: %s\n", e.what());
        display.message(LEVEL_ERR, "Could not create directory for storing BIRD file");
        return 0;
    }
    const std::string date = _local_time_text();
    const std::string name = _file_name(build);
    item.attributes.Add(KEY_LATEST_DOWNLOAD, name);
    item.attributes.Add(KEY_LAST_DOWNLOAD_DATE, date);
    const aErr written =
        item.WriteFileWithAttributes(name.c_str(), bytes, length, [&loadable] { return loadable.get(); });
    if (written != aErrNone && !loadable.get()) {
        _refuse_image(display, build, "is no loadable BIRD file");
        return 0;
    }
    if (written != aErrNone) {
        display.message(LEVEL_ERR, "Failed to write file with %d", static_cast<int>(written));
        return 0;
    }
    const std::optional<ImageDigest> sum = digest.get();
    Note_Outcome([&](Outcome& noted) {
        noted.image = item.basePath + "/" + item.name + "/" + name;
        noted.to = _image_firmware(bird);
        noted.digest = sum;
    });
    return build;
}

BirdFile Updater::load_bird(const char* action, const std::string& bird_file, uint32_t serial, uint32_t build,
                            bool download_if_missing)
{
    auto store = _createUpdaterStore(display, store_path, "load_bird");
    if (!store)
        return BirdFile();
    if (!bird_file.empty()) {
        display.message(INFO, "%s from Birdfile: %s", action, bird_file.c_str());
        return BirdFile(bird_file.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display.message(INFO, "%s firmware with build: %u", action, build);
    const std::string name = _file_name(build);
    try {
        return item.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_APP, "load_bird: %s\n", e.what());
        if (!download_if_missing)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(name.c_str());
}

std::string Updater::Get_JWT(uint32_t serial)
{
    HTTPConnectionShare connection;
    std::string token;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(LEVEL_ERR, "Server request failed for %s", server_url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str()))
        display.message(LEVEL_ERR, "Failed to retrieve jwt for %08X", serial);
    return token;
}
