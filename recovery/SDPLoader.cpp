#include "recovery/SDPLoader.h"

#include <cstdio>
#include <string>

#include "common/Log.h"

namespace {

constexpr uint8_t REPORT_COMMAND = 1;
constexpr uint8_t REPORT_DATA = 2;
constexpr uint8_t CMD_READ_REGISTER = 0x01;
constexpr uint8_t CMD_WRITE_FILE = 0x04;
constexpr uint8_t CMD_ERROR_STATUS = 0x05;
constexpr uint8_t CMD_JUMP_ADDRESS = 0x0B;
constexpr uint8_t FORMAT_32BIT = 0x20;

void _put32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

bool SDPLoader::setLoader(SDPLoader_Interface* transport)
{
    if (!transport || _transport)
        return false;
    _transport.reset(transport);
    return true;
}

int SDPLoader::init()
{
    if (!_transport)
        return SDP_NO_TRANSPORT;
    return _transport->init() ? SDP_OK : SDP_OPEN_FAILED;
}

void SDPLoader::_fillCommand(std::vector<uint8_t>& packet)
{
    packet.resize(COMMAND_SIZE, 0);
}

void SDPLoader::_command(std::vector<uint8_t>& packet, uint8_t command, uint32_t address, uint8_t format,
                         uint32_t count)
{
    packet.clear();
    packet.push_back(REPORT_COMMAND);
    packet.push_back(command);
    packet.push_back(command);
    _put32(packet, address);
    packet.push_back(format);
    _put32(packet, count);
    _fillCommand(packet);
}

void SDPLoader::_createStatusPacket(std::vector<uint8_t>& packet)
{
    _command(packet, CMD_ERROR_STATUS, 0, 0, 0);
}

void SDPLoader::_createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address, uint32_t length)
{
    _command(packet, CMD_WRITE_FILE, address, FORMAT_32BIT, length);
}

void SDPLoader::_createJumpPacket(std::vector<uint8_t>& packet, uint32_t address)
{
    _command(packet, CMD_JUMP_ADDRESS, address, 0, 0);
}

void SDPLoader::_create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address)
{
    _command(packet, CMD_READ_REGISTER, address, FORMAT_32BIT, 4);
}

void SDPLoader::_printBuffer(const std::vector<uint8_t>& bytes)
{
    if (!(Log::package_bitmask & DEBUG_iMXSerial))
        return;
    // In pieces: one log call holds at most Log::MESSAGE_MAX characters.
    std::string text;
    char one[4];
    for (uint8_t byte : bytes) {
        snprintf(one, sizeof one, "%X ", byte);
        text += one;
        if (text.size() > 1500) {
            Log::log(DEBUG_iMXSerial, "%s", text.c_str());
            text.clear();
        }
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

// Collects one answer and extracts its response word.
bool SDPLoader::_readWord(uint32_t& word)
{
    std::vector<uint8_t> answer;
    ssize_t got = _transport->readData(answer, ANSWER_WAIT_MS);
    Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", got);
    _printBuffer(answer);
    word = 0;
    return _transport->getDataFromBuffer(answer, 0, word);
}

bool SDPLoader::_isConnectionAlive()
{
    if (!_transport)
        return false;
    std::vector<uint8_t> packet;
    _createStatusPacket(packet);
    for (int attempt = 0; attempt < ALIVE_ATTEMPTS; ++attempt) {
        ssize_t written = _transport->writeData(packet);
        Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
        uint32_t word = 0;
        if (written >= 0 && _readWord(word))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

int SDPLoader::writeLoader(const std::vector<uint8_t>& image, uint32_t address)
{
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    // The command's data count is 32 bits wide: a longer image cannot be announced.
    if (image.size() > UINT32_MAX)
        return SDP_ABORTED;
    std::vector<uint8_t> packet;
    _createWriteFilePacket(packet, address, static_cast<uint32_t>(image.size()));
    ssize_t written = _transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(packet);
    // A packet that did not go out whole leaves the ROM waiting for bytes that
    // never come; what follows would land at the wrong place.
    if (written < 0)
        return SDP_ABORTED;

    size_t total = 0;
    int loop = 0;
    std::vector<uint8_t> unexpected;
    while (total < image.size()) {
        unexpected.clear();
        if (_transport->readData(unexpected, 0) > 0) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            _printBuffer(unexpected);
            return SDP_ABORTED;
        }
        size_t take = std::min(DATA_CHUNK, image.size() - total);
        packet.assign(1, REPORT_DATA);
        packet.insert(packet.end(), image.begin() + static_cast<long>(total),
                      image.begin() + static_cast<long>(total + take));
        written = _transport->writeData(packet);
        total += take;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n", written,
                 static_cast<int>(total), loop++, static_cast<long>(total), static_cast<ssize_t>(packet.size()));
        if (written < 0) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_ABORTED;
        }
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", static_cast<int>(total));
    uint32_t word = 0;
    if (_readWord(word) && word == WRITE_COMPLETE) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_NOT_COMPLETE;
}

void SDPLoader::startLoader(uint32_t address)
{
    if (!_transport)
        return;
    std::vector<uint8_t> packet;
    _createJumpPacket(packet, address);
    ssize_t written = _transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(packet);
    // The ROM hands control to the image; what it says meanwhile does not matter.
    std::vector<uint8_t> answer;
    _transport->readData(answer, ANSWER_WAIT_MS);
    _printBuffer(answer);
}

int SDPLoader::_readRegister(uint32_t address, uint32_t& word)
{
    std::vector<uint8_t> packet;
    _create4ByteReadRegisterPacket(packet, address);
    ssize_t written = _transport->writeData(packet);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", written);
    _printBuffer(packet);
    return written >= 0 && _readWord(word) ? SDP_OK : SDP_NO_RESPONSE_WORD;
}

int SDPLoader::getFingerprint(uint64_t& value)
{
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    uint32_t low = 0, high = 0;
    if (_readRegister(FINGERPRINT_LOW_REGISTER, low) != SDP_OK ||
        _readRegister(FINGERPRINT_HIGH_REGISTER, high) != SDP_OK)
        return SDP_NO_RESPONSE_WORD;
    value |= low;
    value |= static_cast<uint64_t>(high) << 32;
    return SDP_OK;
}
