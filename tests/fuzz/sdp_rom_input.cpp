// Arbitrary bytes from a host to the simulated i.MX boot ROM, as HID reports
// and as a UART byte stream: the ROM never crashes, never answers with a
// report of an unknown id or size, and never keeps more than a write announced.
//
// Input: pieces, each a length byte followed by that many bytes; a piece is a
// HID report, and all pieces together are also fed to a second ROM as commands
// and data the way its UART takes them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/SdpRom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Sim::SdpRom hid;
    Sim::SdpRom uart;
    std::vector<uint8_t> command;
    for (size_t at = 0; at < size;) {
        size_t length = data[at++];
        length = length < size - at ? length : size - at;
        for (const std::vector<uint8_t>& report : hid.HidReport(data + at, length)) {
            bool status = report.size() == 5 && report[0] == 3;
            bool response = report.size() == 65 && report[0] == 4;
            if (!status && !response)
                __builtin_trap();
        }
        // The UART: data while a write waits for it, 16-byte commands otherwise.
        for (size_t i = 0; i < length;) {
            if (command.empty() && uart.DataExpected()) {
                size_t taken = 0;
                uart.Data(data + at + i, length - i, taken);
                if (taken == 0 || taken > length - i)
                    __builtin_trap();
                i += taken;
                continue;
            }
            command.push_back(data[at + i++]);
            if (command.size() == Sim::SdpRom::COMMAND_SIZE) {
                uart.Command(command.data());
                command.clear();
            }
        }
        at += length;
    }
    size_t kept = 0;
    for (const Sim::SdpRom::Segment& segment : hid.Writes())
        kept += segment.bytes.size();
    if (kept > size)
        __builtin_trap();
    uart.Memory(0x20000000, 256);
    return 0;
}
