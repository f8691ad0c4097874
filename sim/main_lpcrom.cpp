// lpcrom: an LPC17xx boot ROM in in-system-programming mode on a pseudo-terminal, for
// tests, benchmarks and trying recovery without hardware. It prints "pty PATH" and then
// "ready", and runs until SIGTERM or SIGINT, writing the flash image on the way out.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "sim/LpcIspPty.h"
#include "sim/StopSignals.h"

namespace {

const char* kUsage =
    "usage: lpcrom [--baud RATE] [--serial W0,W1,W2,W3] [--part-id N] [--boot-version MAJOR.MINOR]\n"
    "              [--flash-in FILE] [--flash-out FILE] [--resend N[,count=C]]\n"
    "              [--fail LETTER=CODE[,skip=N][,times=T]] [--silent-after BYTES] [--trace]\n"
    "\n"
    "  --baud RATE        move bytes at RATE bits per second (10 bits a character), both ways\n"
    "  --serial WORDS     the four words the N command reports (decimal or 0x hexadecimal)\n"
    "  --part-id N        what the J command reports\n"
    "  --boot-version V   what the K command reports\n"
    "  --flash-in FILE    flash contents at start (the rest is erased)\n"
    "  --flash-out FILE   where the flash image goes on exit and on SIGUSR1\n"
    "  --resend N         fail checksum exchange N (from 1) and C-1 more: RESEND on a write,\n"
    "                     a wrong checksum on a read\n"
    "  --fail L=CODE      answer command letter L with CODE instead of carrying it out\n"
    "  --silent-after N   fall silent after N bytes from the host\n"
    "  --trace            print every byte exchanged on standard error\n"
    "\n"
    "SIGUSR1 writes the flash image, SIGUSR2 resets the chip into the ROM (sync again).\n"
    "\"lpcrom: started 0xADDRESS\" on standard error tells that a G command left the ROM.\n";

std::mutex g_stderr;

void _to_stderr(const std::string& line)
{
    std::lock_guard lock(g_stderr);
    fprintf(stderr, "lpcrom: %s\n", line.c_str());
}

int _fail(const std::string& message)
{
    fprintf(stderr, "lpcrom: %s\n", message.c_str());
    return 2;
}

bool _number(const std::string& text, uint64_t& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = strtoull(text.c_str(), &end, 0);
    return errno == 0 && end && *end == '\0' && text[0] != '-';
}

bool _word(const std::string& text, uint32_t& value)
{
    uint64_t v = 0;
    if (!_number(text, v) || v > UINT32_MAX)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

std::vector<std::string> _split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// "N[,count=C]"
bool _resend(const std::string& text, Sim::LpcIspRomFaults& faults)
{
    auto parts = _split(text, ',');
    faults.resendCount = 1;
    if (!_word(parts[0], faults.resendFrom) || faults.resendFrom == 0)
        return false;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].rfind("count=", 0) != 0 || !_word(parts[i].substr(6), faults.resendCount))
            return false;
    }
    return true;
}

// "L=CODE[,skip=N][,times=T]"
bool _failCommand(const std::string& text, Sim::LpcIspRomFaults& faults)
{
    auto parts = _split(text, ',');
    if (parts[0].size() < 3 || parts[0][1] != '=')
        return false;
    faults.failCommand = parts[0][0];
    if (!_word(parts[0].substr(2), faults.failCode))
        return false;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].rfind("skip=", 0) == 0) {
            if (!_word(parts[i].substr(5), faults.failSkip))
                return false;
        } else if (parts[i].rfind("times=", 0) == 0) {
            if (!_word(parts[i].substr(6), faults.failTimes))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Sim::LpcIspRomConfig config;
    Sim::LpcIspRomFaults faults;
    uint32_t baud = 0;
    std::string flashIn, flashOut;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "-h" || arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--baud") {
            if (!_word(value(), baud))
                return _fail("--baud needs a rate in bits per second");
        } else if (arg == "--serial") {
            auto words = _split(value(), ',');
            if (words.size() != 4)
                return _fail("--serial needs four words");
            for (size_t w = 0; w < 4; ++w)
                if (!_word(words[w], config.serial[w]))
                    return _fail("--serial: not a 32-bit number: " + words[w]);
        } else if (arg == "--part-id") {
            if (!_word(value(), config.partId))
                return _fail("--part-id needs a 32-bit number");
        } else if (arg == "--boot-version") {
            auto parts = _split(value(), '.');
            if (parts.size() != 2 || !_word(parts[0], config.bootMajor) || !_word(parts[1], config.bootMinor))
                return _fail("--boot-version needs MAJOR.MINOR");
        } else if (arg == "--flash-in") {
            flashIn = value();
            if (flashIn.empty())
                return _fail("--flash-in needs a file");
        } else if (arg == "--flash-out") {
            flashOut = value();
            if (flashOut.empty())
                return _fail("--flash-out needs a file");
        } else if (arg == "--resend") {
            if (!_resend(value(), faults))
                return _fail("--resend needs N[,count=C] with N from 1");
        } else if (arg == "--fail") {
            if (!_failCommand(value(), faults))
                return _fail("--fail needs LETTER=CODE[,skip=N][,times=T]");
        } else if (arg == "--silent-after") {
            if (!_number(value(), faults.silentAfterBytes) || faults.silentAfterBytes == 0)
                return _fail("--silent-after needs a byte count above 0");
        } else {
            fputs(kUsage, stderr);
            return _fail("unknown argument " + arg);
        }
    }

    sigset_t signals = Sim::BlockForSigwait({SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2});

    Sim::LpcIspPty line(config);
    if (!flashIn.empty()) {
        std::ifstream in(flashIn, std::ios::binary);
        if (!in)
            return _fail("cannot read " + flashIn);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (image.size() > Sim::LpcIspRom::kFlashSize)
            return _fail(flashIn + " is larger than the flash");
        line.With([&](Sim::LpcIspRom& rom) { rom.SetFlash(image); });
    }
    line.With([&](Sim::LpcIspRom& rom) { rom.SetFaults(faults); });
    line.SetPacing(baud);
    line.SetEvents(_to_stderr);
    if (trace)
        line.SetTrace(_to_stderr);
    std::string error;
    if (!line.Start(error))
        return _fail(error);
    printf("pty %s\n", line.SlavePath().c_str());
    printf("ready\n");
    fflush(stdout);

    auto save = [&]() {
        if (flashOut.empty())
            return true;
        bool ok = line.With([&](Sim::LpcIspRom& rom) { return rom.SaveFlash(flashOut); });
        if (!ok)
            _to_stderr("cannot write " + flashOut);
        return ok;
    };
    for (;;) {
        const int received = Sim::WaitForSignal(signals);
        if (received == SIGUSR1) {
            if (save())
                _to_stderr("flash written");
        } else if (received == SIGUSR2) {
            line.With([](Sim::LpcIspRom& rom) { rom.Reset(); });
            _to_stderr("reset");
        } else {
            line.Stop();
            return save() ? 0 : 1;
        }
    }
}
