#pragma once
// SDP over the i.MX boot ROM's USB HID device, through hidapi.
#include "recovery/SDPLoader_Interface.h"

typedef struct hid_device_ hid_device;

class HID_SDPLoader : public SDPLoader_Interface {
public:
    HID_SDPLoader(uint16_t vendorId, uint16_t productId);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    bool init() override;
    ssize_t writeData(const std::vector<uint8_t>& packet) override;
    ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) override;
    bool getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value) override;

    // The ROM answers with report 3 (four status bytes) and report 4 (64 bytes).
    static constexpr size_t REPORT_SIZE = 65;
    static constexpr size_t STATUS_REPORT_SIZE = 5;
    static constexpr size_t RESPONSE_SIZE = STATUS_REPORT_SIZE + REPORT_SIZE;

private:
    hid_device* _handle = nullptr;
    uint16_t _vendorId;
    uint16_t _productId;
};
