#pragma once
// The byte path between the SDP loader and an i.MX boot ROM: its USB HID device
// or its UART. Packets are handed over with their report id in front; a
// transport that has no reports (the UART) drops it.
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() = default;
    // Opens the device.
    virtual bool init() = 0;
    // Sends one packet; the count taken, or -1 when the packet could not go out whole.
    virtual ssize_t writeData(const std::vector<uint8_t>& packet) = 0;
    // Appends what the ROM sends within timeoutMs (0: only what is there now);
    // returns the count appended. Always ends, and never appends more than
    // READ_LIMIT bytes per call, however much a ROM sends.
    virtual ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) = 0;
    // ORs the response word at byte offset `offset` of a collected response
    // into `value`; false when the bytes hold no complete response there.
    virtual bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) = 0;

    static constexpr size_t READ_LIMIT = 4096;

    // For the transports:
    // The little-endian word at bytes[at..at+3] (the caller checked the size).
    static uint32_t _wordAt(const std::vector<uint8_t>& bytes, size_t at)
    {
        return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
               static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
    }
    // Milliseconds left until deadline, 0 once it passed.
    static int _remainingMs(std::chrono::steady_clock::time_point deadline)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long>(0, left.count()));
    }
};
