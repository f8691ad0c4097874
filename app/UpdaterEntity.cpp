#include "app/UpdaterEntity.h"

#include <algorithm>

#include "common/device/Link.h"
#include "common/Log.h"
#include "common/device/SystemClass.h"
#include "unix/aTime.h"

using Kestrune::Tessarine::Link;
using Kestrune::Tessarine::Module;
using Kestrune::Tessarine::SystemClass;

namespace {

// Longest reply payload the link hands out.
constexpr uint8_t REPLY_MAX = 28;
// Reply of a status request: 95, 7, status, then the values of the request.
constexpr uint8_t STATUS_REPLY_MIN = 3;
constexpr uint8_t PREPARE_REPLY_MIN = 5;  // status, block size (2)
constexpr uint8_t SUM_REPLY_MIN = 7;      // status, sum (4)
constexpr uint8_t INIT_REPLY_MIN = 6;     // 95, 0, base (4)
// Protocol feature bit: the module takes pooled (coalesced) packet writes.
constexpr uint32_t FEATURE_POOLED_PACKETS = 0x80000000u;

uint32_t _big_endian32(const uint8_t* bytes)
{
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

uint16_t _big_endian16(const uint8_t* bytes)
{
    return uint16_t((bytes[0] << 8) | bytes[1]);
}

}  // namespace

aErr UpdaterEntity::init(Module* upgraded, uint8_t index, bool verify, bool noWait)
{
    module = upgraded;
    verifySum = verify;
    noRebootWait = noWait;
    ueiData = false;
    EntityClass::init(upgraded, cmdUPGRADE, index);
    return aErrNone;
}

uint32_t UpdaterEntity::ByteSum(const uint8_t* data, uint32_t length)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

// One request: the command byte goes in front of the bytes given.
aErr UpdaterEntity::_send(uint8_t length, const uint8_t* data)
{
    return sendPacket(cmdUPGRADE, length, data);
}

// The reply that begins 95, code; its whole payload lands in reply.
aErr UpdaterEntity::_await(uint8_t code, uint8_t* reply, uint8_t& replyLength)
{
    const uint8_t match[2] = {cmdUPGRADE, code};
    replyLength = sizeof(match);
    return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[1] = {val_UPGRADE_INIT};
    aErr err = _send(sizeof(request), request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_MAX] = {};
    uint8_t length = 0;
    err = _await(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone)
        return err;
    if (length < INIT_REPLY_MIN)
        return aErrPacket;
    uint32_t base = _big_endian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", base, base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t blockSize, uint8_t blockFlags,
                                    uint16_t* moduleBlockSize)
{
    if (block == nullptr || blockSize < 4 || moduleBlockSize == nullptr)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", blockSize, blockFlags,
             *moduleBlockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n", blockFlags,
             block[0], block[1], block[2], block[3]);
    uint32_t address = _big_endian32(block);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", address);

    const uint8_t request[6] = {val_UPGRADE_PREPARE, blockFlags, block[0], block[1], block[2], block[3]};
    aErr err = _send(sizeof(request), request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_MAX] = {};
    uint8_t length = 0;
    err = _await(val_UPGRADE_STATUS, reply, length);
    if (err != aErrNone)
        return err;
    // A reply without a block size cannot be used: a size of 0 would never
    // move the transfer forward.
    uint16_t size = length >= PREPARE_REPLY_MIN ? _big_endian16(reply + 3) : 0;
    if (length < STATUS_REPLY_MIN || reply[2] != 0 || size == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    *moduleBlockSize = size;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n", size);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t blockSize)
{
    if (block == nullptr || blockSize < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", _big_endian32(block), blockSize - 4);
    uint32_t blocks = 0;
    return _blockTransfer(block + 4, blockSize - 4, blocks);
}

// One piece of a block: its data go out (raw packets or one byte string),
// then the module's byte sum is compared with ours.
aErr UpdaterEntity::_blockTransfer(const uint8_t* data, uint32_t length, uint32_t& blocks)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t remaining = length;
    uint32_t sum = 0;
    bool sendFailed = false;  // logged already, and ends the transfer at once
    aErr err = ueiData ? _ueiTransfer(data, length, remaining, sum, blocks, sendFailed)
                       : _rawTransfer(data, length, remaining, sum, blocks, sendFailed);
    if (sendFailed)
        return err;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", length - remaining, length);
    if (err == aErrNone && verifySum)
        err = _verifyBlockSum(sum, blocks);
    return err;
}

aErr UpdaterEntity::_ueiTransfer(const uint8_t* data, uint32_t length, uint32_t& remaining, uint32_t& sum,
                                 uint32_t& blocks, bool& sendFailed)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", length);
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        sendFailed = true;
        return err;
    }
    sum = ByteSum(data, length);
    blocks = 1;
    remaining = 0;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", length);
    return aErrNone;
}

aErr UpdaterEntity::_rawTransfer(const uint8_t* data, uint32_t length, uint32_t& remaining, uint32_t& sum,
                                 uint32_t& blocks, bool& sendFailed)
{
    int resends = 0;
    while (remaining > 0) {
        uint32_t n = std::min(remaining, RAW_DATA_MAX);
        const uint8_t* chunk = data + (length - remaining);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
        uint8_t request[1 + RAW_DATA_MAX];
        request[0] = val_UPGRADE_DATA;
        std::copy(chunk, chunk + n, request + 1);
        aErr err = _send(uint8_t(n + 1), request);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
            sendFailed = true;
            return err;
        }
        uint8_t reply[REPLY_MAX] = {};
        uint8_t replyLength = 0;
        if (_await(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
            return aErrPacket;
        }
        uint8_t accepted = replyLength > 2 ? reply[2] : 0;
        if (accepted != n) {
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted, n);
            // The same bytes go again, but not for ever: a module that keeps
            // miscounting is not taking this block.
            if (++resends > RAW_RESEND_LIMIT) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Giving up after %d resends of the same data.\n",
                         RAW_RESEND_LIMIT);
                return aErrPacket;
            }
            continue;
        }
        resends = 0;
        sum += ByteSum(chunk, n);
        remaining -= n;
        ++blocks;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n, remaining, length);
    }
    return aErrNone;
}

aErr UpdaterEntity::_verifyBlockSum(uint32_t hostSum, uint32_t blocks)
{
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[1] = {val_UPGRADE_SUM};
    _send(sizeof(request), request);  // a lost request shows as a missing reply
    uint8_t reply[REPLY_MAX] = {};
    uint8_t length = 0;
    if (_await(val_UPGRADE_STATUS, reply, length) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    // A reply too short to hold a sum cannot confirm anything.
    uint8_t status = length >= STATUS_REPLY_MIN ? reply[2] : 0xFF;
    uint32_t moduleSum = length >= SUM_REPLY_MIN ? _big_endian32(reply + 3) : ~hostSum;
    if (status != 0 || moduleSum != hostSum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, hostSum, moduleSum);
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, hostSum,
             moduleSum, blocks);
    return aErrNone;
}

aErr UpdaterEntity::LoaderStart()
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[1] = {val_UPGRADE_LOAD};
    aErr err = _send(sizeof(request), request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[REPLY_MAX] = {};
    uint8_t length = 0;
    if (_await(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // No reply: the module restarted into the loader before answering; the
    // loader answers once the link is back.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t pauseMs)
{
    if (module == nullptr)
        return aErrInitialization;
    module->disconnect();
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt, RECONNECT_ATTEMPTS);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            break;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n", pauseMs);
        aTime_MSSleep(pauseMs);
    }
    return err;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t blockSize, uint16_t moduleBlockSize,
                                     UpdaterDisplayInterface& display)
{
    if (block == nullptr || blockSize < 4 || moduleBlockSize == 0)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", _big_endian32(block),
             blockSize - 4);
    uint32_t remaining = blockSize - 4;
    const uint8_t* data = block + 4;
    uint32_t pieces = 0;

    Log::timestamped = false;
    display.display_progress(true);
    aErr err = aErrNone;
    while (remaining > 0 && err == aErrNone) {
        uint32_t n = std::min<uint32_t>(remaining, moduleBlockSize);
        err = _blockTransfer(data, n, pieces);
        if (err != aErrNone)
            break;
        remaining -= n;
        data += n;
        display.update_progress(double(blockSize - remaining) / double(blockSize), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n, remaining,
                 blockSize);
        err = FirmwareWrite(uint16_t(n));
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", blockSize - remaining, blockSize);
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", count);
    const uint8_t request[3] = {val_UPGRADE_WRITE, uint8_t(count >> 8), uint8_t(count & 0xFF)};
    aErr err = _send(sizeof(request), request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err, aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[REPLY_MAX] = {};
    uint8_t length = 0;
    err = _await(val_UPGRADE_STATUS, reply, length);
    if (err != aErrNone || length < STATUS_REPLY_MIN || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display)
{
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[1] = {val_UPGRADE_REBOOT};
    aErr result = _send(sizeof(request), request);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

    // The module reboots into the new firmware and the link drops. Behind a
    // router the link stays, so one pause is all there is to wait for. A
    // link that reconnects by itself (TCP/IP) may be down only for the
    // module's restart, so it is watched closely within each pause.
    int pauses = 0;
    bool dropped = module == nullptr || !module->isConnected();
    while (!dropped) {
        if (!noRebootWait && pauses == REBOOT_POLL_LIMIT) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Device did not drop the link within %d ms after REBOOT\n",
                     REBOOT_POLL_LIMIT * int(REBOOT_POLL_MS));
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Device did not restart after the update");
            if (result == aErrNone)
                result = aErrTimeout;
            break;
        }
        for (uint32_t waited = 0; waited < REBOOT_POLL_MS && !dropped; waited += LINK_WATCH_MS) {
            aTime_MSSleep(LINK_WATCH_MS);
            dropped = !module->isConnected();
        }
        ++pauses;
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noRebootWait)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

aErr UpdaterEntity::CheckUEIDataSupport()
{
    if (module == nullptr)
        return aErrResource;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone)
        ueiData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport()
{
    if (module == nullptr)
        return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", features, err);
    if (err != aErrNone)
        return err;
    if ((features & FEATURE_POOLED_PACKETS) == 0)
        return aErrNone;
    Link* link = module->getLink();
    if (link == nullptr)
        return aErrConnection;
    return link->enablePooledPackets(true);
}
