#include "app/UpdaterVerify.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/UpdaterDiscovery.h"
#include "app/UpdaterTransfer.h"
#include "common/Log.h"
#include "unix/aTime.h"
#include "unix/tsusb.h"

using Kestrune::Tessarine::Module;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto LEVEL_WARN = UpdaterDisplayInterface::LEVEL_WARNING;
constexpr unsigned DEFAULT_TIMEOUT_S = 60;
constexpr uint32_t POLL_MS = 100;
// While the module is away: TCP/IP discovery (for a module that comes back at
// another address) and a fresh libusb context, each this often.
constexpr uint32_t SEARCH_PERIOD_MS = 3000;

unsigned _timeout_s(UpdaterDisplayInterface& display)
{
    const char* text = getenv("UPDATER_VERIFY_TIMEOUT");
    if (!text || !*text)
        return DEFAULT_TIMEOUT_S;
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > 86400 || text[0] == '-') {
        display.message(LEVEL_WARN, "Ignoring UPDATER_VERIFY_TIMEOUT=%s: not a number of seconds (1 to 86400)", text);
        return DEFAULT_TIMEOUT_S;
    }
    return unsigned(value);
}

std::string _version_text(const DeviceInfo& info)
{
    return std::to_string(info.version_major) + "." + std::to_string(info.version_minor) + "." +
           std::to_string(info.version_patch);
}

bool _digits(const std::string& text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A decimal field without its leading zeros ("01" and "1" are one number).
std::string _number_text(const std::string& digits)
{
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? "0" : digits.substr(first);
}

std::vector<std::string> _fields(const std::string& version)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t dot; (dot = version.find('.', start)) != std::string::npos; start = dot + 1)
        fields.push_back(version.substr(start, dot - start));
    fields.push_back(version.substr(start));
    return fields;
}

bool _matches(const std::optional<FirmwareId>& expected, const FirmwareId& running)
{
    if (!expected)
        return true;
    return running.build == expected->build &&
           (expected->version.empty() || _same_version(running.version, expected->version));
}

bool _stopped(const std::function<bool()>& stop)
{
    return stop && stop();
}

// Finds the module again after its link dropped, and reads what it runs.
bool _await_direct(Module& module, linkType type, uint32_t serial, uint64_t deadline, FirmwareId& running,
                   const std::function<bool()>& stop)
{
    module.disconnect();
    uint64_t nextSearch = aTime_GetMSTicks() + SEARCH_PERIOD_MS;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline && !_stopped(stop); now = aTime_GetMSTicks()) {
        bool found = _look_again(module, type, serial);
        if (!found && now >= nextSearch) {
            nextSearch = now + SEARCH_PERIOD_MS;
            if (type == USB) {
                Tessarine_libusb_exit();
            } else {
                module.discoverAndConnect(type, serial);
                found = module.isConnected();
                if (!found)
                    module.disconnect();
            }
        }
        if (found) {
            if (_read_firmware(module, running))
                return true;
            module.disconnect();  // still starting: look again
        }
        aTime_MSSleep(POLL_MS);
    }
    return false;
}

// Behind a router or a server no link drops to show the restart: the module is asked until
// it reports the image's firmware or the time is up. `answered` tells whether
// it answered at all; `running` holds its last answer.
bool _await_held(Module& module, uint64_t deadline, const std::optional<FirmwareId>& expected, FirmwareId& running,
                 bool& answered, const std::function<bool()>& stop)
{
    answered = false;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline && !_stopped(stop); now = aTime_GetMSTicks()) {
        FirmwareId answer;
        if (_read_firmware(module, answer)) {
            running = answer;
            answered = true;
            if (_matches(expected, running))
                return true;
        }
        aTime_MSSleep(POLL_MS);
    }
    return answered;
}

}  // namespace

bool _same_version(const std::string& a, const std::string& b)
{
    const std::vector<std::string> left = _fields(a);
    const std::vector<std::string> right = _fields(b);
    if (left.size() != right.size())
        return false;
    for (size_t i = 0; i < left.size(); ++i) {
        const bool numbers = _digits(left[i]) && _digits(right[i]);
        if (numbers ? _number_text(left[i]) != _number_text(right[i]) : left[i] != right[i])
            return false;
    }
    return true;
}

std::optional<FirmwareId> _image_firmware(const BirdFile& bird)
{
    if (bird.FindBlocks(BirdFile::BIRD_BLOCK_INFO).empty())
        return std::nullopt;
    FirmwareId id{bird.GetVersion(), bird.GetBuild()};
    // A block that names no build names nothing to compare with.
    if (id.build == 0)
        return std::nullopt;
    return id;
}

bool _read_firmware(Module& module, FirmwareId& running)
{
    if (!module.isConnected())
        return false;
    DeviceInfo info;
    if (_get_version(module, info) != aErrNone)
        return false;
    uint32_t build = _get_build_number(module);
    if (build == 0)
        return false;
    running = FirmwareId{_version_text(info), build};
    return true;
}

bool _verify_update(UpdaterDisplayInterface& display, Module& module, VerifyRoute route, linkType type, uint32_t serial,
                    const std::optional<FirmwareId>& expected, const std::function<bool()>& stop)
{
    unsigned timeout = _timeout_s(display);
    if (!expected)
        display.message(INFO, "The image names no build to compare with: checking only that %08X comes back", serial);
    uint64_t deadline = aTime_GetMSTicks() + uint64_t(timeout) * 1000;
    FirmwareId running;
    bool answered = false;
    if (route == VerifyRoute::Direct)
        answered = _await_direct(module, type, serial, deadline, running, stop);
    else
        _await_held(module, deadline, expected, running, answered, stop);
    Log::log(DEBUG_Updater, "Verify: answered %d, runs %s build %u\n", int(answered), running.version.c_str(),
             running.build);
    const bool verified = answered && _matches(expected, running);
    if (!verified && _stopped(stop)) {
        display.message(LEVEL_ERR, "Update not confirmed: stopped while waiting for %08X", serial);
    } else if (!answered) {
        display.message(LEVEL_ERR, "Update not confirmed: %08X did not come back within %u s", serial, timeout);
    } else if (!expected) {
        display.message(INFO, "Verified: %08X came back and runs %s (build %u)", serial, running.version.c_str(),
                        running.build);
    } else if (running.build != expected->build) {
        display.message(LEVEL_ERR, "Update not confirmed: expected build %u, %08X runs build %u", expected->build,
                        serial, running.build);
    } else if (!verified) {
        display.message(LEVEL_ERR, "Update not confirmed: expected version %s, %08X runs %s", expected->version.c_str(),
                        serial, running.version.c_str());
    } else {
        display.message(INFO, "Verified: %08X runs %s (build %u)", serial, running.version.c_str(), running.build);
    }
    return verified;
}
