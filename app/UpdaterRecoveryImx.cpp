// The i.MX RT half of the recovery: the recovery loader goes into the chip's
// RAM through the boot ROM's Serial Download Protocol (USB HID or a serial
// port) and is started; it then enumerates on USB as a module, answers the
// chip's identifier and takes the firmware through the ordinary transfer.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Updater.h"
#include "app/UpdaterDiscovery.h"
#include "app/UpdaterRecovery.h"
#include "app/UpdaterTransfer.h"
#include "common/Log.h"
#include "common/device/Module.h"
#include "common/device/SystemClass.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "store/UpdaterStore.h"
#include "unix/aTime.h"
#include "unix/tsusb.h"

using Kestrune::Tessarine::Module;
using Kestrune::Tessarine::SystemClass;

namespace {

constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The boot ROM's HID device, and the port text that selects it.
constexpr uint16_t IMX_ROM_VENDOR = 0x1FC9;
constexpr uint16_t IMX_ROM_PRODUCT = 0x0130;
constexpr uint32_t DEFAULT_LOADER_START = 0x20000400;
// How long the started loader may take to enumerate.
constexpr int USB_ATTEMPTS = 15;
constexpr uint32_t USB_PAUSE_MS = 1000;
constexpr uint8_t OPTION_IDENTIFIER = 39;

aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port)
{
    Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
    std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    // Starting a loader that was never written would run whatever RAM holds.
    if (blocks.empty()) {
        Log::log(DEBUG_Updater, "The recovery image holds no loader blocks.\n");
        return aErrParam;
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (blocks[i].length < 4) {  // no complete load address: nothing to put anywhere
            Log::log(DEBUG_Updater, "Loader block %zu has no load address.\n", i);
            return aErrParam;
        }
    }
    SDPLoader loader;
    if (port == IMX_HID_PORT)
        loader.setLoader(new HID_SDPLoader(IMX_ROM_VENDOR, IMX_ROM_PRODUCT));
    else
        loader.setLoader(new Serial_SDPLoader(port));
    if (loader.init() != SDPLoader::SDP_OK)
        return aErrNotReady;

    for (size_t i = 0; i < blocks.size(); ++i) {
        uint32_t address = _be32(blocks[i].data);
        std::vector<uint8_t> image(blocks[i].data + 4, blocks[i].data + blocks[i].length);
        Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", int(i), image.size(), int(address));
        if (loader.writeLoader(image, address) != SDPLoader::SDP_OK)
            return aErrConnection;
    }
    uint32_t start = DEFAULT_LOADER_START;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS)) {
        if (block.length >= 4) {
            start = _be32(block.data);
            break;
        }
    }
    loader.startLoader(start);
    return aErrNone;
}

// The recovery loader to put into the chip: the given file (for a known
// device), else the device's latest download, else a fresh download.
bool _recovery_loader_image(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store, uint32_t serial,
                            const std::string& bird_file, BirdFile& bird)
{
    UpdaterStoreItem item;
    bool known = store.FindDevice(serial, &item);
    try {
        if (!bird_file.empty()) {
            if (serial == UNKNOWN_DEVICE_SERIAL) {
                display.message(ERROR,
                                "Add serial number or remove the bird filename to use a default recovery image.");
                return false;
            }
            bird = BirdFile(bird_file.c_str());
        } else if (known) {
            bird = item.ReadBirdFile(item.attributes.GetString("LATEST_DOWNLOAD", "").c_str());
        } else {
            display.mute_messages(true);
            Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
            uint32_t build = updater.Download_Firmware(serial, "", false, false);
            std::string name;
            if (build != 0) {
                name = std::to_string(build) + ".bird";
                known = store.FindDevice(serial, &item);
            }
            display.mute_messages(false);
            if (!known)
                throw std::runtime_error("no recovery loader for " + std::to_string(serial));
            bird = item.ReadBirdFile(name.c_str());
        }
    } catch (const std::runtime_error& error) {
        Log::log(DEBUG_APP, "%s\n", error.what());
        return false;
    }
    return true;
}

// Looks for the module on USB, as `serial` or else as `fallback` when that is
// not 0; the libusb context is released before every third attempt when
// `refresh` is set.
bool _await_usb_module(Module& module, uint32_t serial, uint32_t fallback, bool refresh)
{
    for (int attempt = 1; attempt <= USB_ATTEMPTS; ++attempt) {
        if (refresh && attempt % 3 == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Tessarine_libusb_exit();
        }
        module.discoverAndConnect(USB, serial);
        if (!module.isConnected() && fallback != 0)
            module.discoverAndConnect(USB, fallback);
        if (module.isConnected())
            return true;
        if (attempt < USB_ATTEMPTS)
            aTime_MSSleep(USB_PAUSE_MS);
    }
    return false;
}

}  // namespace

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port, uint32_t serial,
                          const std::string& bird_file, Fingerprint& fingerprint, bool reset_afterwards)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, updater.Get_StorePath(), "_get_fingerprint_imx");
    if (!store)
        return false;
    if (serial == 0)
        serial = UNKNOWN_DEVICE_SERIAL;
    BirdFile loader;
    if (!_recovery_loader_image(display, updater, *store, serial, bird_file, loader))
        return false;
    if (_transfer_recovery_loader(display, loader, port) != aErrNone) {
        Log::log(DEBUG_APP, "Error loading liveloader.\n");
        return false;
    }

    // The loader's module address is learnt from the loader after the
    // connection (a module kept at address 0 could not be addressed).
    Module module(0, true, 0);
    if (_disablePlexus(module, display) != aErrNone)
        return false;
    // A generic recovery loader enumerates as the unknown device whatever
    // serial number the user gave.
    uint32_t fallback = serial == UNKNOWN_DEVICE_SERIAL ? 0 : UNKNOWN_DEVICE_SERIAL;
    if (!_await_usb_module(module, serial, fallback, true)) {
        Log::log(DEBUG_APP, "Could not connect to device.\n");
        display.message(ERROR, "The recovery loader did not appear on USB");
        return false;
    }
    SystemClass system;
    system.init(&module, 0);
    for (uint8_t j = 0; j < 4; ++j) {
        uint32_t value = 0;
        if (system.getUEI32(OPTION_IDENTIFIER, j, &value) != aErrNone) {
            Log::log(DEBUG_APP, "Error getting Identifier %d.\n", j);
            return false;
        }
        fingerprint.words[3 - j] = value;
    }
    if (reset_afterwards)
        system.reset();
    return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serial, bool use_uei_bytes)
{
    // The loader's module address is learnt from the loader after the
    // connection (a module kept at address 0 could not be addressed).
    Module module(0, true, 0);
    aErr err = _disablePlexus(module, display);
    if (err == aErrNone) {
        if (!_await_usb_module(module, UNKNOWN_DEVICE_SERIAL, serial, false)) {
            display.message(ERROR, "Could not connect to device");
            return false;
        }
        err = _transfer_firmware(display, module, bird, false, use_uei_bytes);
    }
    if (err != aErrNone) {
        display.message(ERROR, "Failed to transfer firmware");
        return false;
    }
    return true;
}
