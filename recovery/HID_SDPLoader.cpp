#include "recovery/HID_SDPLoader.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>

#include "common/Log.h"

namespace {

constexpr uint8_t REPORT_STATUS = 3;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendorId, uint16_t productId) : _vendorId(vendorId), _productId(productId) {}

HID_SDPLoader::~HID_SDPLoader()
{
    if (_handle)
        hid_close(_handle);
    hid_exit();
}

bool HID_SDPLoader::init()
{
    if (_handle)
        return true;
    if (hid_init() != 0)
        return false;
    _handle = hid_open(_vendorId, _productId, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(_handle));
    return _handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<uint8_t>& packet)
{
    if (!_handle || packet.empty())
        return -1;
    int written = hid_write(_handle, packet.data(), packet.size());
    return written < 0 ? -1 : written;
}

// Reads reports until none comes. The time-out bounds the whole collection, not
// each report, so a ROM that keeps sending cannot hold the caller.
ssize_t HID_SDPLoader::readData(std::vector<uint8_t>& out, int timeoutMs)
{
    if (!_handle)
        return -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    size_t total = 0;
    while (total < READ_LIMIT) {
        uint8_t report[REPORT_SIZE] = {};
        int got = hid_read_timeout(_handle, report, sizeof report, _remainingMs(deadline));
        if (got <= 0)
            break;
        size_t keep = report[0] == REPORT_STATUS ? STATUS_REPORT_SIZE : static_cast<size_t>(got);
        keep = std::min(keep, READ_LIMIT - total);
        out.insert(out.end(), report, report + keep);
        total += keep;
    }
    return static_cast<ssize_t>(total);
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& bytes, size_t offset, uint32_t& value)
{
    if (bytes.size() != RESPONSE_SIZE || offset > 15)
        return false;
    // Report 3 (id and four bytes), then the id of report 4 and its word.
    const size_t at = offset + STATUS_REPORT_SIZE + 1;
    value |= _wordAt(bytes, at);
    return true;
}
