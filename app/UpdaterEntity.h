#pragma once
// The host side of a module's upgrade entity (command 95). The host puts a
// small loader into the module's RAM and starts it (INIT, PREPARE, DATA, SUM,
// LOAD), then streams the firmware to the loader piece by piece (PREPARE,
// DATA or a UEI byte string, SUM, WRITE) and lets it reboot (REBOOT). One
// method per protocol step; each sends one request and waits for the reply.
// Which steps run in which order, with which blocks and retries, is decided
// by the update (UpdaterUpdate.cpp).
#include <cstdint>

#include "common/device/EntityClass.h"
#include "common/device/Module.h"
#include "app/UpdaterDisplayInterface.h"
#include "unix/aError.h"

// Sub-commands of the upgrade entity (cmdUPGRADE, 95): the second payload
// byte of its raw packets.
enum : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    // UEI option carrying a block's data as one byte string.
    val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public Kestrune::Tessarine::EntityClass {
public:
    // Data bytes in one raw DATA packet.
    static constexpr uint32_t RAW_DATA_MAX = 26;
    // A DATA packet whose acknowledged count is wrong is sent again; after
    // this many resends of the same bytes the block transfer gives up.
    static constexpr int RAW_RESEND_LIMIT = 8;
    // Pause between two looks at the link after REBOOT, and the most looks
    // before the module counts as not having restarted (10 s).
    static constexpr uint32_t REBOOT_POLL_MS = 250;
    static constexpr int REBOOT_POLL_LIMIT = 40;
    // How often the link is looked at within such a pause.
    static constexpr uint32_t LINK_WATCH_MS = 10;
    // Reconnection attempts after the module restarted into the loader.
    static constexpr int RECONNECT_ATTEMPTS = 5;

    ~UpdaterEntity() override = default;

    aErr init(Kestrune::Tessarine::Module* upgraded, uint8_t index, bool verify, bool noWait);

    aErr LoaderInit();
    // block = load address (4 bytes, big-endian) + data; blockSize counts both.
    aErr TransferPrepare(const uint8_t* block, uint32_t blockSize, uint8_t blockFlags, uint16_t* moduleBlockSize);
    aErr LoaderTransfer(const uint8_t* block, uint32_t blockSize);
    aErr LoaderStart();
    aErr FirmwareTransfer(const uint8_t* block, uint32_t blockSize, uint16_t moduleBlockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint16_t count);
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    // The running byte sum the loader keeps for a block: every data byte
    // added, unsigned, modulo 2^32.
    static uint32_t ByteSum(const uint8_t* data, uint32_t length);

    Kestrune::Tessarine::Module* module = nullptr;
    bool verifySum = true;
    bool noRebootWait = false;
    bool ueiData = false;

    // Reconnects the module after it restarted: disconnect, then up to
    // RECONNECT_ATTEMPTS reconnections with the pause between them.
    aErr _reconnect(uint32_t pauseMs);

private:
    aErr _blockTransfer(const uint8_t* data, uint32_t length, uint32_t& blocks);
    aErr _rawTransfer(const uint8_t* data, uint32_t length, uint32_t& remaining, uint32_t& sum, uint32_t& blocks,
                      bool& sendFailed);
    aErr _ueiTransfer(const uint8_t* data, uint32_t length, uint32_t& remaining, uint32_t& sum, uint32_t& blocks,
                      bool& sendFailed);
    aErr _verifyBlockSum(uint32_t hostSum, uint32_t blocks);
    aErr _send(uint8_t length, const uint8_t* data);
    aErr _await(uint8_t code, uint8_t* reply, uint8_t& replyLength);
};
