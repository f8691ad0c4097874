#include "app/ModuleServerOptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/OptionScanner.h"

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

enum { HELP, DEVICE, USB, TCPIP, TCP, SERIAL, BAUD, INTERFACE, CURVE_KEY, ALLOW };

const SOption OPTIONS[] = {
    {HELP, "-h", ARG_NONE},
    {HELP, "--help", ARG_NONE},
    {DEVICE, "-d", ARG_REQUIRED},
    {DEVICE, "--device", ARG_REQUIRED},
    {USB, "--usb", ARG_NONE},
    {TCPIP, "--tcpip", ARG_NONE},
    {TCP, "--tcp", ARG_REQUIRED},
    {SERIAL, "--serial", ARG_REQUIRED},
    {BAUD, "--baud", ARG_REQUIRED},
    {INTERFACE, "--interface", ARG_REQUIRED},
    {CURVE_KEY, "--curve-key", ARG_REQUIRED},
    {ALLOW, "--allow", ARG_REQUIRED},
    {-1, nullptr, ARG_NONE},
};

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
    OptionScanner scanner(argc, argv, OPTIONS, OptionWords::Exact);
    while (scanner.Next()) {
        if (!_option(scanner.OptionId(), scanner.OptionText(), scanner.OptionArg()))
            return false;
        if (help)
            return true;
    }
    if (scanner.Unknown())
        return fail(std::string("unknown argument ") + scanner.Unknown());
    if (!haveSerial_)
        return fail("-d SERIAL is required");
    if (curveKey.empty() != allowDirectory.empty())
        return fail("--curve-key and --allow go together");
    return true;
}

bool ModuleServerOptions::_transport(Transport kind)
{
    if (haveTransport_)
        return fail("only one of --usb, --tcp, --tcpip and --serial");
    haveTransport_ = true;
    transport = kind;
    return true;
}

bool ModuleServerOptions::_option(int id, const std::string& option, const char* value)
{
    unsigned long number = 0;
    switch (id) {
    case HELP:
        help = true;
        return true;
    case DEVICE: {
        const char* text = value && (value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) ? value + 2 : value;
        if (!_number(text, 16, 0xFFFFFFFFul, number) || number == 0)
            return fail(option + " needs a hexadecimal serial number");
        serial = static_cast<uint32_t>(number);
        haveSerial_ = true;
        return true;
    }
    case USB:
        return _transport(Transport::Usb);
    case TCPIP:
        return _transport(Transport::Tcpip);
    case TCP: {
        const char* colon = value ? strrchr(value, ':') : nullptr;
        std::string host = colon ? std::string(value, colon) : "";
        if (!colon || !_ipv4(host.c_str(), tcpAddress) || !_number(colon + 1, 10, 65535, number) || number == 0)
            return fail("--tcp needs ADDR:PORT, an IPv4 address and a port");
        tcpPort = static_cast<uint16_t>(number);
        return _transport(Transport::Tcp);
    }
    case SERIAL:
        if (!value || !*value)
            return fail("--serial needs a port");
        serialPort = value;
        return _transport(Transport::Serial);
    case BAUD:
        if (!_number(value, 10, 0xFFFFFFFFul, number) || number == 0)
            return fail("--baud needs a rate");
        baudRate = static_cast<uint32_t>(number);
        return true;
    case INTERFACE:
        if (!_ipv4(value, interfaceAddress) || interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK))
            return fail("--interface needs the IPv4 address of an interface other than loopback");
        return true;
    default:  // --curve-key, --allow
        if (!value || !*value)
            return fail(option + " needs a " + (id == ALLOW ? "directory" : "file"));
        (id == ALLOW ? allowDirectory : curveKey) = value;
        return true;
    }
}
