#pragma once
// The recovery steps shared by the recovery files: the big-endian word of a
// BIRD block and the i.MX RT half of the recovery (UpdaterRecoveryImx.cpp).
#include <cstdint>
#include <string>

#include "app/Updater.h"
#include "firmware/BirdFile.h"

// The port text that selects the i.MX RT boot ROM on USB HID instead of a serial port.
constexpr const char* IMX_HID_PORT = "USB";

inline uint32_t _be32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// Puts the recovery loader into the i.MX RT chip's RAM, waits for it on USB
// and reads the chip's identifier through it (word 3 - j from subindex j).
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port, uint32_t serial,
                          const std::string& bird_file, Fingerprint& fingerprint, bool reset_afterwards);

// Sends the firmware to the running recovery loader (as the unknown device or
// as `serial`) through the ordinary transfer.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& bird, uint32_t serial, bool use_uei_bytes);
