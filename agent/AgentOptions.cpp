#include "agent/AgentOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/OptionScanner.h"
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

enum { HELP, SERVER, TENANT, TOKEN_FILE, TOKEN, TRANSPORT, ROUTER, STORE, POLL, JOBS, DEBUG_MASK, ONCE };

// --gateway-token is known only to be refused with the way to give a token.
const SOption OPTIONS[] = {
    {HELP, "-h", ARG_NONE},
    {HELP, "--help", ARG_NONE},
    {SERVER, "--server", ARG_REQUIRED},
    {TENANT, "--tenant", ARG_REQUIRED},
    {TOKEN_FILE, "--gateway-token-file", ARG_REQUIRED},
    {TOKEN, "--gateway-token", ARG_NONE},
    {TRANSPORT, "-t", ARG_REQUIRED},
    {ROUTER, "-r", ARG_REQUIRED},
    {STORE, "-i", ARG_REQUIRED},
    {POLL, "--poll", ARG_REQUIRED},
    {JOBS, "--jobs", ARG_REQUIRED},
    {DEBUG_MASK, "-X", ARG_REQUIRED},
    {ONCE, "--once", ARG_NONE},
    {-1, nullptr, ARG_NONE},
};

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
    OptionScanner scanner(argc, argv, OPTIONS, OptionWords::Exact);
    while (scanner.Next()) {
        if (!_option(scanner.OptionId(), scanner.OptionText(), scanner.OptionArg()))
            return false;
        if (help)
            return true;
    }
    if (scanner.Unknown())
        return fail(std::string("unknown argument ") + scanner.Unknown());
    if (server.empty() || tenant.empty() || tokenFile.empty())
        return fail("--server, --tenant and --gateway-token-file are required");
    if (server.rfind("http://", 0) != 0 && server.rfind("https://", 0) != 0)
        return fail("--server needs an http:// or https:// URL");
    return true;
}

bool AgentOptions::_text(const std::string& option, const char* value, std::string& target)
{
    if (!value || !*value)
        return fail(option + " needs a value");
    target = value;
    return true;
}

bool AgentOptions::_option(int id, const std::string& option, const char* value)
{
    const std::string word = value ? value : "";
    unsigned long number = 0;
    switch (id) {
    case HELP:
        help = true;
        return true;
    case SERVER:
        return _text(option, value, server);
    case TENANT:
        return _text(option, value, tenant);
    case TOKEN_FILE:
        return _text(option, value, tokenFile);
    case TOKEN:
        return fail("the gateway token is never given on the command line: --gateway-token-file FILE");
    case TRANSPORT:
        if (word != "USB" && word != "usb" && word != "TCPIP" && word != "tcpip")
            return fail("-t needs USB or TCPIP");
        transport = word == "USB" || word == "usb" ? USB : TCPIP;
        return true;
    case ROUTER:
        return _serial(value, router) || fail("-r needs a hexadecimal serial number");
    case STORE:
        return _text(option, value, storeDirectory);
    case POLL:
        if (!_number(value, 10, MAX_POLL_SECONDS, number) || number == 0)
            return fail("--poll needs a number of seconds from 1 to 86400");
        pollSeconds = static_cast<uint32_t>(number);
        return true;
    case JOBS:
        if (!_number(value, 10, MAX_JOBS, number) || number == 0)
            return fail("--jobs needs a number from 1 to 256");
        jobs = static_cast<uint32_t>(number);
        return true;
    case DEBUG_MASK:
        if (!_number(value, 0, 0xFFFFFFFFul, number))
            return fail("-X needs a mask");
        debugMask = static_cast<uint32_t>(number);
        return true;
    default:  // --once
        once = true;
        return true;
    }
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
