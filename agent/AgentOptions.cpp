#include "agent/AgentOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/aLinkSpec.h"

namespace {

constexpr unsigned long MAX_POLL_SECONDS = 86400;
constexpr unsigned long MAX_JOBS = 256;

bool _number(const char* text, int base, unsigned long max, unsigned long& value)
{
    if (!text || !*text || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    value = strtoul(text, &end, base);
    return errno == 0 && *end == '\0' && value <= max;
}

bool _serial(const char* text, uint32_t& serial)
{
    if (text && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    unsigned long value = 0;
    if (!_number(text, 16, 0xFFFFFFFFul, value) || value == 0)
        return false;
    serial = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

const char* AgentOptions::Usage()
{
    return "usage: updater-agent --server URL --tenant NAME --gateway-token-file FILE\n"
           "                     [-t USB|TCPIP] [-r ROUTER] [-i DIR] [--poll SECONDS] [--once]\n"
           "                     [--jobs N] [-X MASK]\n"
           "\n"
           "A hawkBit gateway for the modules of this host: every module found is a target\n"
           "(its serial number the controller id), and what the server deploys to it is\n"
           "downloaded, checked and put on the module with verification.\n"
           "\n"
           "  --server URL              the hawkBit server (DDI API), e.g. https://hb.example\n"
           "  --tenant NAME             the tenant of the targets\n"
           "  --gateway-token-file FILE the file holding the tenant's gateway token\n"
           "  -t USB|TCPIP              where modules are searched (default: as updater -D)\n"
           "  -r ROUTER                 the modules behind this routing module\n"
           "  -i DIR                    store directory; the store is DIR/updater\n"
           "                            (default ~/.kestrune/updater)\n"
           "  --poll SECONDS            seconds between polls (default: the server's interval)\n"
           "  --once                    poll every module once, do what is due, then exit\n"
           "  --jobs N                  modules updated at once (default 8)\n"
           "  -X MASK                   debug output on standard error (as updater -X)\n"
           "  -h, --help                this text\n";
}

bool AgentOptions::fail(const std::string& message)
{
    error_ = message;
    return false;
}

bool AgentOptions::Parse(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto text = [&](std::string& target) {
            if (!value || !*value)
                return fail(arg + " needs a value");
            target = value;
            ++i;
            return true;
        };
        unsigned long number = 0;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        } else if (arg == "--server") {
            if (!text(server))
                return false;
        } else if (arg == "--tenant") {
            if (!text(tenant))
                return false;
        } else if (arg == "--gateway-token-file") {
            if (!text(tokenFile))
                return false;
        } else if (arg == "--gateway-token") {
            return fail("the gateway token is never given on the command line: --gateway-token-file FILE");
        } else if (arg == "-t") {
            const std::string kind = value ? value : "";
            if (kind == "USB" || kind == "usb")
                transport = USB;
            else if (kind == "TCPIP" || kind == "tcpip")
                transport = TCPIP;
            else
                return fail("-t needs USB or TCPIP");
            ++i;
        } else if (arg == "-r") {
            if (!_serial(value, router))
                return fail("-r needs a hexadecimal serial number");
            ++i;
        } else if (arg == "-i") {
            if (!text(storeDirectory))
                return false;
        } else if (arg == "--poll") {
            if (!_number(value, 10, MAX_POLL_SECONDS, number) || number == 0)
                return fail("--poll needs a number of seconds from 1 to 86400");
            pollSeconds = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--jobs") {
            if (!_number(value, 10, MAX_JOBS, number) || number == 0)
                return fail("--jobs needs a number from 1 to 256");
            jobs = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "-X") {
            if (!_number(value, 0, 0xFFFFFFFFul, number))
                return fail("-X needs a mask");
            debugMask = static_cast<uint32_t>(number);
            ++i;
        } else if (arg == "--once") {
            once = true;
        } else {
            return fail("unknown argument " + arg);
        }
    }
    if (server.empty() || tenant.empty() || tokenFile.empty())
        return fail("--server, --tenant and --gateway-token-file are required");
    if (server.rfind("http://", 0) != 0 && server.rfind("https://", 0) != 0)
        return fail("--server needs an http:// or https:// URL");
    return true;
}

bool AgentOptions::ReadToken()
{
    std::ifstream in(tokenFile);
    if (!in)
        return fail("cannot read the gateway token file " + tokenFile);
    std::stringstream text;
    text << in.rdbuf();
    token = text.str();
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())))
        token.pop_back();
    if (token.empty())
        return fail("the gateway token file " + tokenFile + " is empty");
    for (unsigned char c : token)
        if (std::isspace(c) || std::iscntrl(c))
            return fail("the gateway token in " + tokenFile + " holds spaces or control characters");
    return true;
}
