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
    // How long the line settles after the port is set up.
    static constexpr int SETTLE_MS = 1000;
    // How long a write may make no progress before the packet is given up.
    static constexpr int WRITE_STALL_MS = 2000;
    // After a full response, how long to wait for stray bytes that belong to it.
    static constexpr int LINGER_MS = 2;

private:
    std::unique_ptr<PrivateSerial_SDPLoader> _private;
};
