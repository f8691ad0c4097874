// Firmware update of a running module: choose the build, load and
// personalise the image, connect (directly or through a routing module),
// check that image and module belong together, send the loader, wait for the
// module to come back, send the firmware with retries, let the module reboot
// and record the transfer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Updater.h"
#include "app/Listings.h"
#include "app/UpdaterDiscovery.h"
#include "app/UpdaterEntity.h"
#include "app/UpdaterTransfer.h"
#include "app/UpdaterVerify.h"
#include "common/Log.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "app/aDefs.h"
#include "firmware/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "store/KeyValueStore.h"
#include "store/UpdaterStore.h"
#include "unix/aFileLock.h"
#include "unix/aTime.h"
#include "unix/tsusb.h"

using Kestrune::Tessarine::Module;
using Kestrune::Tessarine::SystemClass;

namespace {

constexpr int FIRMWARE_BLOCK_ATTEMPTS = 5;
// A second update of a module waits this long for the first one to end.
constexpr uint32_t MODULE_LOCK_WAIT_MS = 10 * 60 * 1000;
constexpr int RECONNECT_ATTEMPTS = 15;
constexpr uint32_t RECONNECT_PAUSE_MS = 1000;
constexpr uint32_t RECONNECT_POLL_MS = 100;
constexpr uint32_t DISCOVERY_WINDOW_MS = 2000;  // TCP/IP discovery's reply window
// A module that restarts into the loader may still be answering for a moment
// after its reply to LOAD; this long the host watches the link for the drop.
constexpr uint32_t LOADER_RESTART_SETTLE_MS = 1000;
constexpr uint32_t SETTLE_POLL_MS = 10;
// Before another attempt at a block, this long a dropped link may take to
// come back.
constexpr uint32_t LINK_RETRY_WAIT_MS = 1000;

std::string _build_file_name(uint32_t build)
{
    return std::to_string(build) + ".bird";
}

// The local time as ctime writes it, without its line end.
std::string _local_time_text()
{
    time_t now = time(nullptr);
    char text[64] = {};
    ctime_r(&now, text);
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

// Reads the whole text as an unsigned decimal; false when it is not one.
bool _parse_build(const std::string& text, uint32_t& build)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || value > 0xFFFFFFFFul)
        return false;
    build = uint32_t(value);
    return true;
}

// The latest build the server names for the device, 0 when there is none.
uint32_t _server_latest_build(uint32_t serial, const std::string& server_url)
{
    std::string latest, firmware;
    UpdateServerRequest::QueryBuild(serial, latest, firmware, server_url.c_str());
    uint32_t build = 0;
    if (!_parse_build(latest, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        return 0;
    }
    return build;
}

uint32_t _attribute_build(UpdaterStoreItem& item, const char* key)
{
    int value = item.attributes.GetInt(key, 0);
    return value > 0 ? uint32_t(value) : 0;
}

bool _sendable(const BirdFile& bird)
{
    bool sendable = !bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER).empty() &&
                    !bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty();
    if (!sendable)
        Log::log(DEBUG_Updater, "Bird file %s lacks loader or firmware blocks.\n", bird.path.c_str());
    return sendable;
}

// Connects by serial number: USB first, TCP/IP when USB does not know it.
aErr _connect_direct(Module& module, uint32_t serial)
{
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound)
        err = module.connect(TCPIP, serial);
    return err;
}

// After its reply to LOAD a directly connected module restarts into the
// loader and its link drops; give the drop the moment it needs to show.
void _await_loader_restart(Module& module)
{
    for (uint32_t waited = 0; waited < LOADER_RESTART_SETTLE_MS && module.isConnected(); waited += SETTLE_POLL_MS) {
        aTime_MSSleep(SETTLE_POLL_MS);
    }
}

// Gives a link that dropped up to waitMs to come back by itself.
void _await_link(Module& module, uint32_t waitMs)
{
    for (uint32_t waited = 0; waited < waitMs && !module.isConnected(); waited += SETTLE_POLL_MS) {
        aTime_MSSleep(SETTLE_POLL_MS);
    }
}

// The time one attempt to find the module again may take: its discovery
// window on TCP/IP (none on USB) and the pause after it.
uint32_t _attempt_ms(linkType type)
{
    return (type == TCPIP ? DISCOVERY_WINDOW_MS : 0) + RECONNECT_PAUSE_MS;
}

// The module restarted into the loader: find it again on the transport it
// was reached on. Each attempt looks at once, then searches (discovery, which
// repeats its request until the module answers), and spends what is left of
// its time looking again every RECONNECT_POLL_MS rather than asleep: the
// module is found moments after it is back. A TCP/IP module comes back where
// it was, so the first attempt only looks there: a search holds the host's one
// discovery reply port for its whole window, which other updates running at
// the same time would wait for. Attempts and their time are
// bounded as before. Giving up is not reported here: the firmware transfer
// that follows fails on the missing link.
void _reconnect_loader(Module& module, uint32_t serial, linkType type)
{
    module.disconnect();
    for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        uint64_t attemptEnd = aTime_GetMSTicks() + _attempt_ms(type);
        if (type == USB && attempt % 3 == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessarine_libusb_exit();
        }
        if (_look_again(module, type, serial))
            return;
        if (type == TCPIP && attempt > 1) {
            module.discoverAndConnect(type, serial);
            if (module.isConnected())
                return;
            module.disconnect();
        }
        for (uint64_t now = aTime_GetMSTicks(); now < attemptEnd; now = aTime_GetMSTicks()) {
            aTime_MSSleep(std::min<uint64_t>(RECONNECT_POLL_MS, attemptEnd - now));
            if (_look_again(module, type, serial))
                return;
        }
    }
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& bird, Module& module, uint32_t serial)
{
    if (bird.blockCount == 0)
        return false;
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serial))
        return false;

    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone || moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", err);
        return false;
    }
    uint8_t model = 0;
    aErr modelErr = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (modelErr != aErrNone || !bird.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Connected device model and Bird file model do not match [%s] (%d)", name, modelErr);
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", err, aError_GetErrorText(err));
        return err;
    }

    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader to device");
    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    uint32_t total = 0;
    aErr blockFailure = aErrNone;
    for (const BirdBlock& block : blocks) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader block %d of %d, %d bytes", number,
                        int(blocks.size()), int(block.length));
        uint16_t moduleBlockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, &moduleBlockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err, aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err, aError_GetErrorText(err));
            if (blockFailure == aErrNone)
                blockFailure = err;
            continue;
        }
        total += block.length;
        ++number;
    }
    // A loader with a block missing must never be started, whatever became of
    // the blocks after it.
    if (err == aErrNone)
        err = blockFailure;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", number - 1,
                    int(total));
    display.display_progress(false);

    if (err == aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error starting loader [%d, %s]", err,
                            aError_GetErrorText(err));
        }
    }
    return err;
}

// Notes the transfer in the device's attributes. A device the store has not
// met yet gets its directory now, so that its attributes land there rather
// than beside the working directory. The firmware is in the module whatever
// becomes of this note, so a store that fails here costs a warning, not the update.
void _record_transfer(UpdaterDisplayInterface& display, UpdaterStore& store, UpdaterStoreItem& item, bool known,
                      uint32_t serial, const std::string& transferred)
{
    try {
        if (!known)
            item = store.AddDevice(serial);
    } catch (const std::runtime_error& error) {
        Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", error.what());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Warning: the transfer was not recorded: %s",
                        error.what());
        return;
    }
    item.attributes.Add("LATEST_TRANSFER", transferred.c_str());
    item.attributes.Add("LAST_TRANSFER_DATE", _local_time_text().c_str());
    if (int error = item.attributes.Save(nullptr))
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Warning: the transfer was not recorded in %s: %s",
                        item.attributes.Path().c_str(), strerror(error));
}

// Connects the device's module behind the router; false after reporting why.
bool _connect_through_router(Updater& updater, UpdaterDisplayInterface& display, Module& module, uint32_t serial,
                             uint32_t router_serial, aErr& failure)
{
    if (module.getModuleAddress() == 0) {
        std::vector<DeviceInfo> found = updater.Discover_TSNetwork_Devices(router_serial, linkType(0));
        if (found.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unable to find modules on Network");
            return false;
        }
        uint16_t address = 0;
        for (const DeviceInfo& info : found) {
            if (info.spec.serialNumber == serial)
                address = info.network_address;  // the last match wins
        }
        if (address == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Module address required for indirect firmware update, could not find serial number "
                            "[0x%08X] on network",
                            serial);
            return false;
        }
        module.setModuleAddress(uint8_t(address));
    }

    Module router(0, true, 0);
    failure = _disablePlexus(router, display);
    if (failure != aErrNone)
        return true;  // the update ends on the failure code
    if (_connect_direct(router, router_serial) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to link module [%08X]", router_serial);
        return false;
    }
    failure = module.connectThroughLinkModule(&router);
    if (failure != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
    }
    return true;
}

// Connects a module that discovery found, by its spec: directly, or through
// its router (reached by the router's own spec) at the bus address it answered
// on. False after reporting a failure that ends the update at once.
bool _connect_found(UpdaterDisplayInterface& display, Module& module, const DeviceInfo& device, aErr& failure)
{
    const uint32_t serial = device.spec.serialNumber;
    failure = _networking_for(module, device.spec, display);
    if (failure != aErrNone)
        return false;
    if (device.network_address == 0) {
        failure = module.connectFromSpec(device.spec);
        if (failure != aErrNone)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
        return true;
    }
    linkSpec routerSpec = device.spec;
    routerSpec.serialNumber = device.spec.routerSerialNumber;
    routerSpec.module = device.spec.router;
    Module router(0, true, 0);
    failure = _disablePlexus(router, display);
    if (failure != aErrNone)
        return true;
    if (router.connectFromSpec(routerSpec) != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to link module [%08X]",
                        routerSpec.serialNumber);
        return false;
    }
    failure = module.connectThroughLinkModule(&router);
    if (failure != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
    return true;
}

// The link type the module was reached on: TCP/IP, served (the type its
// server announced), else USB.
linkType _reached_on(Module& module)
{
    linkSpec spec{};
    if (module.getLinkSpecifier(&spec) != aErrNone)
        return USB;
    return spec.type == TCPIP || aLinkSpec_IsServed(spec.type) ? spec.type : USB;
}

// Two updates of one module at once (a second station or updater on the
// host, a module found both directly and served) would interleave their
// blocks: every update holds the module's lock file for its whole run.
class ModuleUpdateLock {
public:
    explicit ModuleUpdateLock(uint32_t serial)
    {
        char path[64];
        snprintf(path, sizeof path, "/tmp/tessarine-update-%08X.lock", serial);
        if (aFileLock_Acquire(path, 0, &fd_) == aErrNone)
            return;
        Log::log(DEBUG_Updater, "Module %08X is being updated by another program: waiting.\n", serial);
        result_ = aFileLock_Acquire(path, MODULE_LOCK_WAIT_MS, &fd_);
    }
    ~ModuleUpdateLock() { aFileLock_Release(&fd_); }
    ModuleUpdateLock(const ModuleUpdateLock&) = delete;
    ModuleUpdateLock& operator=(const ModuleUpdateLock&) = delete;
    // A lock that cannot be taken for another reason than a holder is no reason
    // to refuse the update.
    bool Held() const { return result_ != aErrTimeout; }

private:
    int fd_ = -1;
    aErr result_ = aErrNone;
};

}  // namespace

bool _look_again(Module& module, linkType type, uint32_t serial)
{
    if (type == TCPIP)
        module.reconnect();
    else
        module.discoverAndConnect(type, serial);
    if (module.isConnected())
        return true;
    module.disconnect();  // a half-made link would block the next look
    return false;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird, bool throughRouter,
                        bool useUEIBytes)
{
    UpdaterEntity entity;
    entity.init(&module, 0, true, throughRouter);
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    aErr err = aErrNone;
    unsigned number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        for (int attempt = 0; attempt < FIRMWARE_BLOCK_ATTEMPTS; ++attempt) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring firmware block %u of %u, %d bytes",
                            number, unsigned(blocks.size()), int(block.length));
            if (attempt > 0)
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "  Retry %d", attempt);
            uint16_t moduleBlockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, &moduleBlockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", err, aError_GetErrorText(err));
                // Unanswered or unsent, PREPARE may have met a module that is
                // still starting its loader or a link that is being taken up
                // again: give the link a moment and ask again. A refusal ends
                // the attempts.
                if (err != aErrTimeout && err != aErrConnection)
                    break;
                _await_link(module, LINK_RETRY_WAIT_MS);
                continue;
            }
            err = entity.FirmwareTransfer(block.data, block.length, moduleBlockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", err, aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", int(number - 1),
                    int(total));
    if (err == aErrNone) {
        display.update_phase("reboot");
        err = entity.LoaderReboot(display);
    }
    return err;
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& bird_file, uint8_t module_address,
                              uint32_t router_serial, bool override_checks)
{
    auto connect = [&](Module& module, aErr& failure) {
        if (router_serial != 0)
            return _connect_through_router(*this, display, module, serial, router_serial, failure);
        failure = _connect_direct(module, serial);
        if (failure != aErrNone)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
        return true;
    };
    return _update(serial, build, bird_file, module_address, router_serial != 0, connect, override_checks);
}

bool Updater::Update_Found(const DeviceInfo& device, uint32_t build, const std::string& bird_file, bool override_checks)
{
    const bool routed = device.network_address != 0;
    auto connect = [&](Module& module, aErr& failure) { return _connect_found(display, module, device, failure); };
    return _update(device.spec.serialNumber, build, bird_file, routed ? uint8_t(device.network_address) : 0, routed,
                   connect, override_checks);
}

bool Updater::_update(uint32_t serial, uint32_t build, const std::string& bird_file, uint8_t module_address,
                      bool through_router, const Connector& connect, bool override_checks)
{
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Update command must specify the specific device");
        return false;
    }
    ModuleUpdateLock lock(serial);
    if (!lock.Held()) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Module %08X is being updated by another program",
                        serial);
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    bool known = store->FindDevice(serial, &item);
    uint64_t start = aTime_GetMSTicks();

    if (bird_file.empty()) {
        if (build == 0) {
            build = _server_latest_build(serial, server_url);
            if (build != 0) {
                try {
                    if (!known)
                        throw std::runtime_error("device not in the store");
                    item.ReadBirdFile(_build_file_name(build).c_str());
                } catch (const std::runtime_error&) {
                    build = 0;
                    display.message(UpdaterDisplayInterface::LEVEL_INFO,
                                    "New firmware is available.  Updater will proceed if valid firmware is found "
                                    "locally.");
                }
            }
        }
        if (build == 0) {
            build = _attribute_build(item, "LATEST_DOWNLOAD");
            if (build != 0)
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = _attribute_build(item, "LATEST_TRANSFER");
            if (build != 0)
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile bird;
    try {
        bird = load_bird("Updating", bird_file, serial, build, false);
    } catch (const std::runtime_error&) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }
    const std::optional<FirmwareId> image_firmware = _image_firmware(bird);
    Note_Outcome([&](Outcome& noted) {
        noted.image = bird.path;
        noted.digest.reset();
        noted.to = image_firmware;
    });

    // Whatever the checks that -OVERRIDE skips, an image that cannot put both a
    // loader and firmware into the module never goes out: starting a loader
    // that was not sent would leave the module without working firmware.
    if (!_sendable(bird)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Birdfile failed validation");
        return false;
    }

    if (bird.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    display.update_phase("connect");
    Module module(module_address, true, 0);
    aErr failure = _disablePlexus(module, display);
    if (failure == aErrNone && !connect(module, failure))
        return false;
    linkType reachedOn = USB;
    // Behind a router or a module server the link stays up while the module
    // restarts: nothing drops to wait for, the module is asked until it answers.
    bool linkHeld = through_router;
    if (failure == aErrNone) {
        reachedOn = _reached_on(module);
        linkHeld = through_router || aLinkSpec_IsServed(reachedOn);
        FirmwareId running;
        const bool answered = _read_firmware(module, running);
        Note_Outcome([&](Outcome& noted) {
            noted.transport = _link_type_name(reachedOn);
            if (answered)
                noted.from = running;
        });
    }
    if (failure == aErrNone && !override_checks && !_validate_birdfile(display, bird, module, serial)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Birdfile failed validation");
        return false;
    }
    // The last moment a stop leaves the module as it was.
    if (failure == aErrNone && _stop_asked()) {
        Note_Outcome([](Outcome& noted) { noted.interrupted = true; });
        return false;
    }
    if (failure == aErrNone) {
        display.update_phase("loader");
        failure = _transfer_loader(display, module, bird);
    }
    if (failure == aErrNone) {
        display.update_phase("restart");
        if (!linkHeld)
            _await_loader_restart(module);
        if (!module.isConnected())
            _reconnect_loader(module, serial, reachedOn);
    }
    if (failure == aErrNone) {
        display.update_phase("firmware");
        failure = _transfer_firmware(display, module, bird, linkHeld, uei_bytes_load);
    }

    if (failure != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", failure);
        return false;
    }
    // A module that does not come back with the image's firmware was not
    // updated: nothing is recorded as transferred.
    if (verify) {
        display.update_phase("verify");
        const bool verified = _verify_update(display, module, linkHeld ? VerifyRoute::Held : VerifyRoute::Direct,
                                             reachedOn, serial, image_firmware, stop_check);
        const bool stopped = !verified && _stop_asked();
        Note_Outcome([verified, stopped](Outcome& noted) {
            noted.verified = verified;
            noted.interrupted = stopped;
        });
        if (!verified)
            return false;
    }

    std::string transferred = bird_file.empty() ? _build_file_name(build) : bird_file;
    _record_transfer(display, *store, item, known, serial, transferred);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                    double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
