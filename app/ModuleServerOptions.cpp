#include "app/ModuleServerOptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool _number(const char* text, int base, unsigned long max, unsigned long& value)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    value = strtoul(text, &end, base);
    return errno == 0 && *end == '\0' && value <= max;
}

bool _ipv4(const char* text, uint32_t& address)
{
    in_addr parsed{};
    if (!text || inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

}  // namespace

const char* ModuleServerOptions::Usage()
{
    return "usage: module-server -d SERIAL [--usb | --tcp ADDR:PORT | --tcpip | --serial PORT [--baud RATE]]\n"
           "                     [--interface ADDR] [--curve-key FILE --allow DIR]\n"
           "\n"
           "Serves one module on the network until SIGINT or SIGTERM, so that other programs\n"
           "reach it as network clients.\n"
           "\n"
           "  -d, --device SERIAL  the module's serial number (hexadecimal)\n"
           "  --usb                the module is on USB (default)\n"
           "  --tcp ADDR:PORT      the module listens at this IPv4 address and TCP port\n"
           "  --tcpip              find the module by TCP/IP discovery (multicast on every\n"
           "                       interface: only on a network you may send to)\n"
           "  --serial PORT        the module is on this serial port\n"
           "  --baud RATE          the serial port's rate (default 115200)\n"
           "  --interface ADDR     serve on this IPv4 interface and answer beacons there;\n"
           "                       without it the module is served to this host only\n"
           "  --curve-key FILE     admit only clients that connect with ZeroMQ CURVE, with\n"
           "                       this secret certificate of the server's\n"
           "  --allow DIR          with --curve-key: the public certificates of the clients\n"
           "                       admitted\n"
           "  -h, --help           this text\n";
}

bool ModuleServerOptions::fail(const std::string& message)
{
    error_ = message;
    return false;
}

bool ModuleServerOptions::Parse(int argc, const char* const* argv)
{
    bool haveSerial = false;
    bool haveTransport = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto transport = [&](Transport kind) {
            if (haveTransport)
                return fail("only one of --usb, --tcp, --tcpip and --serial");
            haveTransport = true;
            this->transport = kind;
            return true;
        };
        unsigned long number = 0;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        } else if (arg == "-d" || arg == "--device") {
            const char* text = value && (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) ? value + 2 : value;
            if (!_number(text, 16, 0xFFFFFFFFul, number) || number == 0)
                return fail(arg + " needs a hexadecimal serial number");
            serial = static_cast<uint32_t>(number);
            haveSerial = true;
            ++i;
        } else if (arg == "--usb") {
            if (!transport(Transport::Usb))
                return false;
        } else if (arg == "--tcpip") {
            if (!transport(Transport::Tcpip))
                return false;
        } else if (arg == "--tcp") {
            const char* colon = value ? strrchr(value, ':') : nullptr;
            std::string host = colon ? std::string(value, colon) : "";
            if (!colon || !_ipv4(host.c_str(), tcpAddress) || !_number(colon + 1, 10, 65535, number) || number == 0)
                return fail("--tcp needs ADDR:PORT, an IPv4 address and a port");
            tcpPort = static_cast<uint16_t>(number);
            if (!transport(Transport::Tcp))
                return false;
            ++i;
        } else if (arg == "--serial") {
            if (!value || !*value)
                return fail("--serial needs a port");
            serialPort = value;
            if (!transport(Transport::Serial))
                return false;
            ++i;
        } else if (arg == "--baud") {
            if (!_number(value, 10, 0xFFFFFFFFul, number) || number == 0)
                return fail("--baud needs a rate");
            baudRate = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--interface") {
            if (!_ipv4(value, interfaceAddress) || interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK))
                return fail("--interface needs the IPv4 address of an interface other than loopback");
            ++i;
        } else if (arg == "--curve-key" || arg == "--allow") {
            if (!value || !*value)
                return fail(arg + " needs a " + (arg == "--allow" ? "directory" : "file"));
            (arg == "--allow" ? allowDirectory : curveKey) = value;
            ++i;
        } else {
            return fail("unknown argument " + arg);
        }
    }
    if (!haveSerial)
        return fail("-d SERIAL is required");
    if (curveKey.empty() != allowDirectory.empty())
        return fail("--curve-key and --allow go together");
    return true;
}
