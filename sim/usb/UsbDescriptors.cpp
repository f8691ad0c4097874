#include "sim/usb/UsbDescriptors.h"

#include <cstdio>

namespace usbemu {

namespace {

constexpr uint8_t STRING_MANUFACTURER = 1;
constexpr uint8_t STRING_PRODUCT = 2;
constexpr uint8_t STRING_SERIAL = 3;

void _put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void _endpoint(std::vector<uint8_t>& out, uint8_t address, uint16_t maxPacket, bool interrupt)
{
    out.insert(out.end(), {7, 0x05, address, static_cast<uint8_t>(interrupt ? 0x03 : 0x02)});
    _put16(out, maxPacket);
    out.push_back(interrupt ? 1 : 0);
}

// HID 1.11, no country, one report descriptor of the given length.
void _hidDescriptor(std::vector<uint8_t>& out, size_t reportLength)
{
    out.insert(out.end(), {9, 0x21, 0x11, 0x01, 0, 1, 0x22});
    _put16(out, static_cast<uint16_t>(reportLength));
}

std::vector<uint8_t> _device(uint16_t vendor, uint16_t product, uint8_t deviceClass, uint8_t serialIndex)
{
    std::vector<uint8_t> out{18, 0x01};
    _put16(out, 0x0200);
    out.insert(out.end(), {deviceClass, 0, 0, 64});
    _put16(out, vendor);
    _put16(out, product);
    _put16(out, 0x0100);
    out.insert(out.end(), {STRING_MANUFACTURER, STRING_PRODUCT, serialIndex, 1});
    return out;
}

std::string _record(const std::string& path, const std::string& properties, const std::vector<uint8_t>& descriptors)
{
    return "P: " + path + "\n" + properties + "H: descriptors=" + hex(descriptors) + "\n";
}

}  // namespace

UsbDeviceConfig moduleConfig(uint32_t serialNumber, uint8_t model, bool highSpeed)
{
    UsbDeviceConfig config;
    config.productId = model;
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    config.serial = text;
    config.highSpeed = highSpeed;
    return config;
}

std::vector<uint8_t> deviceDescriptor(const UsbDeviceConfig& config)
{
    return _device(config.vendorId, config.productId, 0, config.serial ? STRING_SERIAL : 0);
}

std::vector<uint8_t> configurationDescriptor(const UsbDeviceConfig& config)
{
    uint8_t endpoints = static_cast<uint8_t>(config.inEndpoint + config.outEndpoint);
    const bool hid = config.hidReportDescriptor.has_value();
    std::vector<uint8_t> out{9, 0x02};
    _put16(out, static_cast<uint16_t>(9 + 9 + (hid ? 9 : 0) + 7 * endpoints));
    out.insert(out.end(), {1, 1, 0, 0x80, 50});
    if (hid) {
        out.insert(out.end(), {9, 0x04, 0, 0, endpoints, 0x03, 0, 0, 0});
        _hidDescriptor(out, config.hidReportDescriptor->size());
    } else {
        out.insert(out.end(), {9, 0x04, 0, 0, endpoints, config.interfaceClass, config.interfaceSubClass,
                               config.interfaceProtocol, 0});
    }
    if (config.inEndpoint)
        _endpoint(out, config.inAddress, config.packetSize(), hid);
    if (config.outEndpoint)
        _endpoint(out, config.outAddress, config.packetSize(), hid);
    return out;
}

std::optional<std::vector<uint8_t>> stringDescriptor(const UsbDeviceConfig& config, uint8_t index)
{
    std::string text;
    switch (index) {
    case 0:
        return std::vector<uint8_t>{4, 0x03, 0x09, 0x04};
    case STRING_MANUFACTURER:
        text = config.manufacturer;
        break;
    case STRING_PRODUCT:
        text = config.product;
        break;
    case STRING_SERIAL:
        if (!config.serial)
            return std::nullopt;
        text = *config.serial;
        break;
    default:
        return std::nullopt;
    }
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text)
        _put16(out, static_cast<uint8_t>(c));
    return out;
}

std::string deviceRecord(const UsbDeviceConfig& config, unsigned port, unsigned address)
{
    std::vector<uint8_t> descriptors;
    if (config.rawDescriptors) {
        descriptors = *config.rawDescriptors;
    } else {
        descriptors = deviceDescriptor(config);
        std::vector<uint8_t> configuration = configurationDescriptor(config);
        descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
    }
    char properties[1024];
    snprintf(properties, sizeof properties,
             "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/%03u\n"
             "E: BUSNUM=001\nE: DEVNUM=%03u\nE: DRIVER=usb\nE: PRODUCT=%x/%x/100\n"
             "A: busnum=1\nA: devnum=%u\nA: speed=%u\nA: bConfigurationValue=1\nA: dev=189:%u\n",
             address, address, config.vendorId, config.productId, address, config.highSpeed ? 480u : 12u, address - 1);
    return _record("/devices/usb1/1-" + std::to_string(port), properties, descriptors);
}

std::string rootHubRecord()
{
    std::vector<uint8_t> descriptors = _device(0x1D6B, 0x0002, 0x09, 0);
    const std::vector<uint8_t> hub{9, 0x02, 25, 0, 1, 1, 0,    0xE0, 0,    9, 0x04, 0, 0,
                                   1, 0x09, 0,  0, 0, 7, 0x05, 0x81, 0x03, 4, 0,    12};
    descriptors.insert(descriptors.end(), hub.begin(), hub.end());
    return _record("/devices/usb1",
                   "N: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/001\n"
                   "E: BUSNUM=001\nE: DEVNUM=001\nE: DRIVER=usb\nA: busnum=1\nA: devnum=1\nA: speed=480\n"
                   "A: bConfigurationValue=1\nA: dev=189:0\n",
                   descriptors);
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char two[3];
    for (uint8_t b : bytes) {
        snprintf(two, sizeof two, "%02X", b);
        out += two;
    }
    return out;
}

}  // namespace usbemu
