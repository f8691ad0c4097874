#pragma once
// The USB byte stream's record: one module opened by serial number through the
// USB layer (kernel-driver node when installed, else libusb).
#include <cstdint>

#include "unix/tsusb.h"

#define aUSBSTREAM_CHECK 0xDEAD

struct USBStreamData {
    uint32_t serialNumber;
    USBDevice* device;  // owned
    uint16_t check;
};
