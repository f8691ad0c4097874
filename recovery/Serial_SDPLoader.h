#pragma once
// SDP over the i.MX boot ROM's UART: the same packets without their report id,
// 115200 bits/s, 8N1, raw.
#include <memory>
#include <string>

#include "recovery/SDPLoader_Interface.h"

struct PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    explicit Serial_SDPLoader(const std::string& portName);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& packet) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

    // Four status bytes, then the four-byte response word.
    static constexpr size_t RESPONSE_SIZE = 8;
    // After the port is set up, input is discarded until the line has been
    // quiet for SETTLE_QUIET_MS, at most SETTLE_MS. (A partial command an
    // earlier host left in the ROM costs the first liveness attempt: the ROM
    // drops it once the line was silent longer than its inter-byte time-out,
    // and attempts are further apart than that.)
    static constexpr int SETTLE_MS = 1000;
    static constexpr int SETTLE_QUIET_MS = 20;
    static constexpr unsigned BAUD = 115200;
    // How long a write may make no progress before the packet is given up.
    static constexpr int WRITE_STALL_MS = 2000;

private:
    std::unique_ptr<PrivateSerial_SDPLoader> _private;
};
