#pragma once
// The byte path between the SDP loader and an i.MX boot ROM: its USB HID device
// or its UART. Packets are handed over with their report id in front; a
// transport that has no reports (the UART) drops it.
#include <sys/types.h>

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
};
