// sdprom: a simulated i.MX boot ROM (Serial Download Protocol) on a
// pseudo-terminal, for tests and for trying recovery without hardware. It
// prints the path the host opens, then "ready", and runs until SIGTERM, SIGINT
// or SIGHUP; with --dump it then writes what the host loaded.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sim/SdpRomSerial.h"
#include "sim/StopSignals.h"

namespace {

const char* kUsage =
    "usage: sdprom [--baud N] [--fingerprint LOW,HIGH] [--fault NAME] [--dump ADDRESS,LENGTH,FILE] [--verbose]\n"
    "\n"
    "  --baud N                take and send bytes no faster than a UART at N bits/s\n"
    "  --fingerprint LOW,HIGH  the words of registers 0x401F4410 and 0x401F4420 (hex)\n"
    "  --fault NAME            silent, garbage, status-only, extra-bytes[=N], write-incomplete\n"
    "  --dump A,L,FILE         on exit write L bytes of memory from address A to FILE\n"
    "  --verbose               print writes and jumps on standard error at exit\n"
    "\n"
    "prints \"sdp pty /dev/pts/N\" and \"ready\".\n";

int _fail(const std::string& message)
{
    fprintf(stderr, "sdprom: %s\n", message.c_str());
    return 2;
}

bool _parseWords(const char* text, uint32_t& first, uint32_t& second)
{
    char* end = nullptr;
    first = static_cast<uint32_t>(strtoul(text, &end, 16));
    if (!end || *end != ',')
        return false;
    second = static_cast<uint32_t>(strtoul(end + 1, &end, 16));
    return end && *end == '\0';
}

struct Dump {
    uint32_t address = 0;
    size_t length = 0;
    std::string path;
};

bool _parseDump(const char* text, Dump& dump)
{
    char* end = nullptr;
    dump.address = static_cast<uint32_t>(strtoul(text, &end, 0));
    if (!end || *end != ',')
        return false;
    dump.length = strtoul(end + 1, &end, 0);
    if (!end || *end != ',' || dump.length == 0 || dump.length > (64u << 20))
        return false;
    dump.path = end + 1;
    return !dump.path.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    Sim::SdpRomConfig config;
    Dump dump;
    bool verbose = false;
    unsigned baud = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        std::string error;
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--baud") {
            char* end = nullptr;
            unsigned long rate = value ? strtoul(value, &end, 10) : 0;
            if (!value || *end || rate == 0 || rate > 10000000)
                return _fail("--baud needs a rate from 1 to 10000000");
            baud = static_cast<unsigned>(rate);
            ++i;
        } else if (arg == "--fingerprint") {
            if (!value || !_parseWords(value, config.fingerprintLow, config.fingerprintHigh))
                return _fail("--fingerprint needs LOW,HIGH in hex");
            ++i;
        } else if (arg == "--fault") {
            if (!value)
                return _fail("--fault needs a name");
            if (!config.SetFault(value, error))
                return _fail(error);
            ++i;
        } else if (arg == "--dump") {
            if (!value || !_parseDump(value, dump))
                return _fail("--dump needs ADDRESS,LENGTH,FILE");
            ++i;
        } else {
            fputs(kUsage, stderr);
            return _fail("unknown argument " + arg);
        }
    }

    sigset_t stopSignals = Sim::BlockForSigwait({SIGTERM, SIGINT, SIGHUP});

    auto rom = std::make_shared<Sim::SdpRom>(config);
    Sim::SdpRomSerial serial(rom, baud);
    std::string error;
    if (!serial.Start(error))
        return _fail(error);
    printf("sdp pty %s\nready\n", serial.SlavePath().c_str());
    fflush(stdout);

    Sim::WaitForSignal(stopSignals);
    serial.Stop();
    if (verbose) {
        for (const auto& segment : rom->Writes())
            fprintf(stderr, "sdprom: write 0x%08X %zu bytes\n", segment.address, segment.bytes.size());
        for (uint32_t address : rom->Jumps())
            fprintf(stderr, "sdprom: jump 0x%08X\n", address);
    }
    if (!dump.path.empty()) {
        std::vector<uint8_t> memory = rom->Memory(dump.address, dump.length);
        FILE* out = fopen(dump.path.c_str(), "wb");
        if (!out || fwrite(memory.data(), 1, memory.size(), out) != memory.size() || fclose(out) != 0)
            return _fail("cannot write " + dump.path);
    }
    return 0;
}
