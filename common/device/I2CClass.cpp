#include "common/device/I2CClass.h"

#include <cstring>

namespace Kestrune::Tessarine {

namespace {

constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kStatusCodeMask = 0x7F;
constexpr uint8_t kShortestReply = 5;
constexpr size_t kStatusByte = 4;
constexpr size_t kLengthByte = 3;
constexpr size_t kDataStart = 5;
constexpr uint8_t kHighestSpeed = 3;

aErr _status(const uint8_t* reply, uint8_t length)
{
    if (length < kShortestReply)
        return aErrPacket;
    uint8_t status = reply[kStatusByte];
    return (status & kStatusError) ? static_cast<aErr>(status & kStatusCodeMask) : aErrNone;
}

}  // namespace

void I2CClass::init(Module* module, uint8_t index)
{
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (length && !data)
        return aErrParam;
    uint8_t request[4 + MAX_TRANSFER] = {getIndex(), address, length, speed_};
    if (length)
        memcpy(request + 4, data, length);
    aErr result = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t replyLength = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = receivePacket(match, &replyLength, reply)) != aErrNone)
        return result;
    return _status(reply, replyLength);
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer)
{
    if (length > MAX_TRANSFER)
        return aErrSize;
    if (!buffer)
        return aErrParam;
    const uint8_t readAddress = address | 1;
    const uint8_t request[] = {getIndex(), readAddress, length, speed_};
    aErr result = sendPacket(cmdI2C, sizeof request, request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdI2C, getIndex(), readAddress};
    uint8_t replyLength = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = receivePacket(match, &replyLength, reply)) != aErrNone)
        return result;
    if ((result = _status(reply, replyLength)) != aErrNone)
        return result;
    // Copy what the reply holds, never more than asked for.
    size_t count = reply[kLengthByte];
    if (count > length)
        count = length;
    if (count > static_cast<size_t>(replyLength - kDataStart))
        count = replyLength - kDataStart;
    memcpy(buffer, reply + kDataStart, count);
    return aErrNone;
}

aErr I2CClass::setPullup(bool on)
{
    const uint8_t request[] = {getIndex(), kPullupSelector, static_cast<uint8_t>(on ? 1 : 0)};
    aErr result = sendPacket(cmdI2C, sizeof request, request);
    if (result != aErrNone)
        return result;
    const uint8_t match[] = {cmdI2C, getIndex(), kPullupSelector};
    uint8_t replyLength = sizeof match;
    uint8_t reply[aPACKET_MAXDATA];
    if ((result = receivePacket(match, &replyLength, reply)) != aErrNone)
        return result;
    return _status(reply, replyLength);
}

aErr I2CClass::setSpeed(uint8_t code)
{
    if (code > kHighestSpeed)
        return aErrParam;
    speed_ = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* code) const
{
    if (!code)
        return aErrParam;
    *code = speed_;
    return aErrNone;
}

}  // namespace Kestrune::Tessarine
