#pragma once
// Host side of the i.MX boot ROM's Serial Download Protocol: checks that the
// ROM answers, writes a memory image to an address and jumps to it.
#include <cstdint>
#include <memory>
#include <vector>

#include "recovery/SDPLoader_Interface.h"

class SDPLoader {
public:
    // Results of writeLoader, getFingerprint and init.
    enum Result : int {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1,
        SDP_NO_ANSWER = 2,
        SDP_ABORTED = 3,
        SDP_NOT_COMPLETE = 4,
        SDP_OPEN_FAILED = 6,
        SDP_NO_RESPONSE_WORD = 7,
    };

    static constexpr uint32_t WRITE_COMPLETE = 0x88888888;  // `_expectSuccess`
    static constexpr uint32_t ACKNOWLEDGE = 0xF0F0F0F0;     // `_expectAck`
    static constexpr uint32_t FINGERPRINT_LOW_REGISTER = 0x401F4410;
    static constexpr uint32_t FINGERPRINT_HIGH_REGISTER = 0x401F4420;
    static constexpr size_t COMMAND_SIZE = 17;  // report id and 16 command bytes
    static constexpr size_t DATA_CHUNK = 1024;  // image bytes per data packet
    static constexpr int ANSWER_WAIT_MS = 100;
    static constexpr int ALIVE_ATTEMPTS = 5;

    SDPLoader() = default;
    ~SDPLoader() = default;
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of `transport`; refused when none is given or one is set.
    bool setLoader(SDPLoader_Interface* transport);
    int init();
    int writeLoader(const std::vector<uint8_t>& image, uint32_t address);
    void startLoader(uint32_t address);
    int getFingerprint(uint64_t& value);
    bool _isConnectionAlive();

    // Command packets, 17 bytes with the report id in front.
    static void _createStatusPacket(std::vector<uint8_t>& packet);
    static void _createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address, uint32_t length);
    static void _createJumpPacket(std::vector<uint8_t>& packet, uint32_t address);
    static void _create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address);

private:
    static void _command(std::vector<uint8_t>& packet, uint8_t command, uint32_t address, uint8_t format,
                         uint32_t count);
    static void _fillCommand(std::vector<uint8_t>& packet);
    static void _printBuffer(const std::vector<uint8_t>& bytes);
    bool _readWord(uint32_t& word);
    int _readRegister(uint32_t address, uint32_t& word);

    std::unique_ptr<SDPLoader_Interface> _transport;
};
