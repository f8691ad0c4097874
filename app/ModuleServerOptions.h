#pragma once
// The command line of module-server, the program that serves one module on
// the network until it is stopped.
#include <cstdint>
#include <string>

class ModuleServerOptions {
public:
    enum class Transport { Usb, Tcp, Tcpip, Serial };

    // False with Error() set for a bad command line; true for --help too.
    bool Parse(int argc, const char* const* argv);

    uint32_t serial = 0;
    Transport transport = Transport::Usb;
    uint32_t tcpAddress = 0;  // --tcp: network byte order
    uint16_t tcpPort = 0;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint32_t interfaceAddress = 0;  // --interface: network byte order; 0 = this host only
    std::string curveKey;           // --curve-key: the server's secret certificate
    std::string allowDirectory;     // --allow: the certificates of the clients admitted
    bool help = false;

    const std::string& Error() const { return error_; }
    static const char* Usage();

private:
    bool fail(const std::string& message);
    bool _option(int id, const std::string& option, const char* value);
    bool _transport(Transport kind);

    std::string error_;
    bool haveSerial_ = false;
    bool haveTransport_ = false;
};
