#pragma once
// USB descriptors and sysfs records of emulated devices.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usbemu {

// What an emulated device looks like on the bus. The defaults describe a
// module: vendor 0x24FF, the vendor interface 0xFF/0x88/0x10 with one bulk
// IN and one bulk OUT endpoint, 64-byte packets at full speed, 512 at high.
struct UsbDeviceConfig {
    uint16_t vendorId = 0x24FF;
    uint16_t productId = 0x0013;
    std::optional<std::string> serial;  // no serial-number string when empty
    std::string manufacturer = "Kestrune";
    std::string product = "Module";
    bool highSpeed = false;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    bool inEndpoint = true;
    bool outEndpoint = true;
    uint8_t inAddress = 0x81;
    uint8_t outAddress = 0x02;
    std::optional<uint16_t> maxPacket;  // overrides the speed's packet size
    // A HID function (class 3) with this report descriptor: the HID class
    // descriptor, interrupt endpoints, and one IN transfer per block sent.
    std::optional<std::vector<uint8_t>> hidReportDescriptor;
    // Replaces the device and configuration descriptors (short or garbage ones).
    std::optional<std::vector<uint8_t>> rawDescriptors;

    uint16_t packetSize() const { return maxPacket ? *maxPacket : (highSpeed ? 512 : 64); }
};

// A module's configuration: model in the product id's low byte, serial
// number written "%08X".
UsbDeviceConfig moduleConfig(uint32_t serialNumber, uint8_t model, bool highSpeed = false);

std::vector<uint8_t> deviceDescriptor(const UsbDeviceConfig& config);
std::vector<uint8_t> configurationDescriptor(const UsbDeviceConfig& config);

// String descriptor `index` (0: the language list); nullopt for none.
std::optional<std::vector<uint8_t>> stringDescriptor(const UsbDeviceConfig& config, uint8_t index);

// The umockdev record of a device at bus 1, port `port`, address `address`.
std::string deviceRecord(const UsbDeviceConfig& config, unsigned port, unsigned address);
// The record of the root hub of bus 1.
std::string rootHubRecord();

std::string hex(const std::vector<uint8_t>& bytes);

}  // namespace usbemu
