// Recovery of a module whose firmware no longer runs, through its chip's boot
// ROM: identification (LPC17xx first, then i.MX RT), the choice of the image,
// and the LPC17xx programming over its ISP serial protocol. The i.MX RT half
// is in UpdaterRecoveryImx.cpp.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Updater.h"
#include "app/UpdaterDiscovery.h"
#include "app/UpdaterRecovery.h"
#include "app/UpdaterVerify.h"
#include "common/Log.h"
#include "common/device/Module.h"
#include "firmware/BirdFile.h"
#include "recovery/NXPSerialClass.h"
#include "server/UpdateServerRequest.h"
#include "unix/aTime.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// The rate the chip is identified at during a recovery.
constexpr uint32_t IDENTIFY_RATE = 115200;

// LPC17xx flash.
constexpr uint32_t LPC_FIRST_SECTOR = 0;
constexpr uint32_t LPC_LAST_SECTOR = 29;
constexpr uint32_t LPC_FLASH_END = 0x80000;
constexpr uint32_t LPC_CHUNK = 4096;
constexpr uint32_t LPC_COPY_ALIGN = 256;
constexpr uint32_t LPC_END_BLOCK_LENGTH = 8;  // the firmware block that ends the transfer
constexpr uint8_t ERASED = 0xFF;

// ---- LPC17xx ---------------------------------------------------------------

// Identifies an LPC17xx boot ROM on the port. False when none answered; `settled`
// tells that the reason was shown and no other chip is worth trying on the port.
bool _get_fingerprint_lpc(UpdaterDisplayInterface& display, const std::string& port, uint32_t rate,
                          Fingerprint& fingerprint, bool& settled)
{
    settled = false;
    NXPSerialClass chip;
    aErr err = chip.Connect(port.c_str(), rate);
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "ERROR %d ==> Could not open serial port\n", err);
        // The i.MX ROM on USB HID has no port to open; any other port is the same for both.
        settled = port != IMX_HID_PORT;
        if (settled)
            display.message(ERROR, "Could not open serial port %s: %s", port.c_str(), aError_GetErrorDescription(err));
        return false;
    }
    Log::log(DEBUG_APP, "\n\tSync to Device:\n");
    err = chip.Sync();
    if (err == aErrBusy) {
        settled = true;
        display.message(ERROR, "The boot ROM on %s is in the middle of another session; reset the chip and try again",
                        port.c_str());
        return false;
    }
    if (err != aErrNone) {
        Log::log(DEBUG_Network, "ERROR %d ==> Could not communicate with device over serial port\n", err);
        return false;
    }
    Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
    if (chip.GetDeviceID() != aErrNone) {
        Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
        return false;
    }
    for (int i = 0; i < 4; ++i)
        fingerprint.words[i] = chip.deviceID[i];
    return true;
}

// One firmware block as the chip's flash takes it.
struct FlashBlock {
    uint32_t address = 0;
    const unsigned char* data = nullptr;
    uint32_t length = 0;  // data bytes, without the address
    uint32_t blockLength = 0;
};

// The firmware blocks up to the one that ends the transfer, checked against
// what the chip can copy before anything on it is erased: a copy lands on a
// 256-byte boundary and the whole copy lies in flash.
bool _lpc_blocks(UpdaterDisplayInterface& display, const BirdFile& bird, std::vector<FlashBlock>& out)
{
    int number = 1;
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        if (block.length == LPC_END_BLOCK_LENGTH)
            break;
        if (block.length <= 4) {
            display.message(ERROR, "Firmware block %d holds no data", number);
            return false;
        }
        FlashBlock flash;
        flash.address = _be32(block.data);
        flash.data = block.data + 4;
        flash.length = block.length - 4;
        flash.blockLength = block.length;
        if (flash.address % LPC_COPY_ALIGN != 0) {
            display.message(ERROR, "Firmware block %d at 0x%08X is not on a %u-byte boundary; the chip cannot copy it",
                            number, flash.address, LPC_COPY_ALIGN);
            return false;
        }
        uint32_t last = flash.length % LPC_CHUNK;
        uint64_t end = uint64_t(flash.address) + (flash.length - last) + (last ? NXPSerialClass::CopyLength(last) : 0);
        if (end > LPC_FLASH_END) {
            display.message(ERROR, "Firmware block %d at 0x%08X, %u bytes, does not fit the chip's flash", number,
                            flash.address, flash.length);
            return false;
        }
        out.push_back(flash);
        ++number;
    }
    // An image without firmware would leave the chip erased and empty.
    if (out.empty()) {
        display.message(ERROR, "The firmware image holds no firmware for the chip");
        return false;
    }
    return true;
}

// Unlock, then prepare and erase the whole flash.
bool _lpc_erase(UpdaterDisplayInterface& display, NXPSerialClass& chip)
{
    Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
    if (chip.Unlock() != aErrNone) {
        Log::log(DEBUG_Updater, "Could not unlock\n");
        display.message(ERROR, "Could not unlock the chip");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
    if (chip.Prepare(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
        Log::log(DEBUG_Updater, "Could not prepare\n");
        display.message(ERROR, "Could not prepare the chip's flash");
        return false;
    }
    Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
    if (chip.Erase(LPC_FIRST_SECTOR, LPC_LAST_SECTOR) != aErrNone) {
        Log::log(DEBUG_Updater, "Could not erase\n");
        display.message(ERROR, "Could not erase the chip's flash");
        return false;
    }
    return true;
}

// One chunk of at most 4096 bytes: into RAM, then copied to flash. The copy
// takes a fixed size, so the chunk is staged padded with the erased value:
// the copy writes nothing but the image.
bool _lpc_chunk(UpdaterDisplayInterface& display, NXPSerialClass& chip, uint32_t address, const unsigned char* data,
                uint32_t length)
{
    uint32_t copy = NXPSerialClass::CopyLength(length);
    std::vector<uint8_t> staged(data, data + length);
    staged.resize(copy, ERASED);

    Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n", int(length), address);
    Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", int(copy), NXPSerialClass::WRITE_ADDRESS);
    if (chip.Write(NXPSerialClass::WRITE_ADDRESS, copy, staged.data()) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
        display.message(ERROR, "Write to the chip's RAM failed (firmware for 0x%08X)", address);
        return false;
    }
    uint32_t first = NXPSerialClass::SectorFromAddress(address);
    uint32_t last = NXPSerialClass::SectorFromAddress(address + copy - 1);
    Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", int(first), int(last));
    if (chip.Prepare(first, last) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Prepare failed\n");
        display.message(ERROR, "Could not prepare flash sectors %u to %u", first, last);
        return false;
    }
    Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", int(copy), NXPSerialClass::WRITE_ADDRESS, address);
    if (chip.CopyToFlash(address, NXPSerialClass::WRITE_ADDRESS, copy) != aErrNone) {
        Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
        display.message(ERROR, "Transfer to flash failed at 0x%08X", address);
        return false;
    }
    return true;
}

bool _lpc_block(UpdaterDisplayInterface& display, NXPSerialClass& chip, const FlashBlock& block)
{
    Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n", int(block.length),
             block.address);
    for (uint32_t done = 0; done < block.length;) {
        uint32_t length = std::min(LPC_CHUNK, block.length - done);
        if (!_lpc_chunk(display, chip, block.address + done, block.data + done, length))
            return false;
        done += length;
        display.update_progress(double(done) / block.length, nullptr);
    }
    return true;
}

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& bird, const std::string& port, uint32_t rate,
                           const Fingerprint& fingerprint)
{
    std::vector<FlashBlock> blocks;
    if (!_lpc_blocks(display, bird, blocks))
        return false;

    NXPSerialClass chip;
    // The chip was synchronised during identification: no new sync.
    if (chip.Connect(port.c_str(), rate) != aErrNone) {
        Log::log(DEBUG_Updater, "Could not connect to %s\n", port.c_str());
        display.message(ERROR, "Could not connect to %s", port.c_str());
        return false;
    }
    if (!_lpc_erase(display, chip))
        return false;

    chip.SetEcho(false);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", bird.path.c_str());
    int shown = int(bird.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size()) - 1;
    int number = 1;
    uint32_t total = 0;
    for (const FlashBlock& block : blocks) {
        display.message(INFO, "Transferring firmware block %d of %d, %d bytes", number, shown, int(block.blockLength));
        display.display_progress(true);
        bool written = _lpc_block(display, chip, block);
        display.display_progress(false);
        if (!written)
            return false;
        total += block.blockLength;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, int(total));
    aErr err = chip.SetEcho(true);
    if (err != aErrNone) {
        display.message(ERROR, "Recovery Error transfering data to device ==> [%d, %s]", err, aError_GetErrorText(err));
        return false;
    }
    display.message(INFO, "Rebooting Device");
    chip.ExecuteFrom(0);
    return true;
}

// The module an i.MX recovery rebooted comes back on USB under its own serial
// number; without one there is nothing to find.
// `verified` is set when there was something to check.
bool _verify_recovery(UpdaterDisplayInterface& display, uint32_t serial, const std::optional<FirmwareId>& expected,
                      std::optional<bool>& verified)
{
    if (serial == 0 || serial == UNKNOWN_DEVICE_SERIAL) {
        display.message(INFO, "--verify: the module's serial number is unknown (-d); nothing is verified");
        return true;
    }
    Kestrune::Tessarine::Module module(0, true, 0);
    if (_disablePlexus(module, display) != aErrNone)
        return false;
    verified = _verify_update(display, module, VerifyRoute::Direct, USB, serial, expected);
    return *verified;
}

}  // namespace

bool Updater::Get_Fingerprint(Fingerprint& fingerprint, const std::string& serial_port, uint32_t serial,
                              const std::string& bird_file, uint32_t baud_rate, bool reset_afterwards)
{
    bool settled = false;
    if (_get_fingerprint_lpc(display, serial_port, baud_rate, fingerprint, settled)) {
        recovery_chip = RECOVERY_CHIP_LPC;
        return true;
    }
    if (settled) {
        recovery_chip = RECOVERY_CHIP_NONE;
        return false;
    }
    recovery_chip = RECOVERY_CHIP_IMX;
    return _get_fingerprint_imx(display, *this, serial_port, serial, bird_file, fingerprint, reset_afterwards);
}

bool Updater::Recover_Firmware(const std::string& serial_port, uint32_t build, uint32_t baud_rate, uint32_t serial,
                               const std::string& bird_file, bool override_checks)
{
    uint64_t start = aTime_GetMSTicks();
    Note_Outcome([&](Outcome& noted) { noted.transport = serial_port; });
    Fingerprint fingerprint;
    // The i.MX recovery loader must stay running: no reset afterwards.
    if (!Get_Fingerprint(fingerprint, serial_port, serial, bird_file, IDENTIFY_RATE, false)) {
        display.message(ERROR, "Could not get Device Identifier");
        return false;
    }
    if (bird_file.empty()) {
        uint32_t server_build = 0;
        if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, server_build, server_url.c_str())) {
            display.message(ERROR, "Failed to retrieve recovery information from Kestrune server");
            return false;
        }
        if (build == 0)
            build = server_build;
    }
    Note_Outcome([serial](Outcome& noted) { noted.serial = serial; });
    BirdFile bird;
    try {
        bird = load_bird("Recovering", bird_file, serial, build, true);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    const std::optional<FirmwareId> image_firmware = _image_firmware(bird);
    Note_Outcome([&](Outcome& noted) {
        noted.image = bird.path;
        noted.digest.reset();
        noted.to = image_firmware;
    });
    if (bird.hasSerialOffsets) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }

    bool recovered = false;
    if (recovery_chip == RECOVERY_CHIP_IMX) {
        recovered = _recover_firmware_imx(display, bird, serial, uei_bytes_load);
        if (recovered && verify) {
            std::optional<bool> verified;
            recovered = _verify_recovery(display, serial, image_firmware, verified);
            Note_Outcome([verified](Outcome& noted) { noted.verified = verified; });
        }
    } else if (recovery_chip == RECOVERY_CHIP_LPC) {
        if (verify)
            display.message(INFO, "--verify: an LPC recovery leaves no link to come back on; nothing is verified");
        bird.DecodeFirmwareBlocks(fingerprint.words);
        recovered = _recover_firmware_lpc(display, bird, serial_port, baud_rate, fingerprint);
    } else {
        display.message(ERROR, "Unknown device");
    }
    // The time closes a recovery that worked; a failed one ends on its error.
    if (recovered)
        display.message(INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return recovered;
}
