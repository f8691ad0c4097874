#pragma once
// The command line of updater-agent, the hawkBit gateway for the modules of a host.
#include <cstdint>
#include <string>

class AgentOptions {
public:
    // False with Error() set for a bad command line; true for --help too.
    bool Parse(int argc, const char* const* argv);
    // Reads the gateway token from its file: false with Error() set when the file
    // is missing, unreadable or empty, or the token holds spaces or control characters.
    bool ReadToken();

    std::string server;  // --server URL
    std::string tenant;  // --tenant NAME
    std::string tokenFile;
    std::string token;
    int32_t transport = 0;       // -t: USB or TCPIP; 0: as -D (USB, or the router's own)
    uint32_t router = 0;         // -r: the modules behind this router
    std::string storeDirectory;  // -i: the store is DIR/updater
    uint32_t pollSeconds = 0;    // --poll; 0: the server's interval
    bool once = false;
    uint32_t jobs = 8;
    uint32_t debugMask = 0;  // -X
    bool help = false;

    const std::string& Error() const { return error_; }
    static const char* Usage();

private:
    bool fail(const std::string& message);
    bool _option(int id, const std::string& option, const char* value);
    bool _text(const std::string& option, const char* value, std::string& target);
    std::string error_;
};
