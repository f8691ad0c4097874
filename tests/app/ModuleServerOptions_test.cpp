// module-server's command line.
#include "app/ModuleServerOptions.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Transport = ModuleServerOptions::Transport;

struct Good {
    std::vector<const char*> args;
    uint32_t serial;
    Transport transport;
    const char* tcp;  // "ADDR:PORT" or ""
    const char* interface;
    uint32_t baud;
};

struct Bad {
    std::vector<const char*> args;
    const char* says;
};

bool _parse(ModuleServerOptions& options, std::vector<const char*> args)
{
    args.insert(args.begin(), "module-server");
    return options.Parse(static_cast<int>(args.size()), args.data());
}

uint32_t _ipv4(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

}  // namespace

TEST(ModuleServerOptions, AcceptsEachTransport)
{
    const Good cases[] = {
        {{"-d", "40F5849A"}, 0x40F5849A, Transport::Usb, "", "", 115200},
        {{"--device", "0x1a2b3c4d", "--usb"}, 0x1A2B3C4D, Transport::Usb, "", "", 115200},
        {{"-d", "1", "--tcp", "192.0.2.7:9000"}, 1, Transport::Tcp, "192.0.2.7:9000", "", 115200},
        {{"-d", "2", "--tcpip", "--interface", "192.0.2.1"}, 2, Transport::Tcpip, "", "192.0.2.1", 115200},
        {{"--serial", "/dev/ttyUSB0", "--baud", "230400", "-d", "FFFFFFFF"},
         0xFFFFFFFF,
         Transport::Serial,
         "",
         "",
         230400},
    };
    for (const Good& c : cases) {
        ModuleServerOptions options;
        ASSERT_TRUE(_parse(options, c.args)) << options.Error();
        EXPECT_EQ(options.serial, c.serial);
        EXPECT_EQ(options.transport, c.transport);
        EXPECT_EQ(options.baudRate, c.baud);
        EXPECT_EQ(options.interfaceAddress, *c.interface ? _ipv4(c.interface) : 0u);
        if (*c.tcp) {
            std::string tcp = c.tcp;
            EXPECT_EQ(options.tcpAddress, _ipv4(tcp.substr(0, tcp.find(':')).c_str()));
            EXPECT_EQ(options.tcpPort, std::stoi(tcp.substr(tcp.find(':') + 1)));
        }
    }
}

TEST(ModuleServerOptions, RefusesWhatItCannotUse)
{
    const Bad cases[] = {
        {{}, "-d SERIAL is required"},
        {{"-d"}, "hexadecimal serial number"},
        {{"-d", "0"}, "hexadecimal serial number"},
        {{"-d", "-5"}, "hexadecimal serial number"},
        {{"-d", "100000000"}, "hexadecimal serial number"},
        {{"-d", "1", "--tcp", "localhost:9000"}, "--tcp needs ADDR:PORT"},
        {{"-d", "1", "--tcp", "127.0.0.1:0"}, "--tcp needs ADDR:PORT"},
        {{"-d", "1", "--tcp", "127.0.0.1:9000x"}, "--tcp needs ADDR:PORT"},
        {{"-d", "1", "--serial"}, "--serial needs a port"},
        {{"-d", "1", "--baud", "fast"}, "--baud needs a rate"},
        {{"-d", "1", "--interface", "0.0.0.0"}, "other than loopback"},
        {{"-d", "1", "--interface", "eth0"}, "other than loopback"},
        {{"-d", "1", "--serial", "/dev/ttyS0", "--usb"}, "only one of"},
        {{"-d", "1", "-x"}, "unknown argument -x"},
    };
    for (const Bad& c : cases) {
        ModuleServerOptions options;
        EXPECT_FALSE(_parse(options, c.args)) << c.says;
        EXPECT_NE(options.Error().find(c.says), std::string::npos) << options.Error();
    }
    // Arguments are read in order: one unknown before -h is refused, one after it is never read.
    ModuleServerOptions bogusFirst;
    EXPECT_FALSE(_parse(bogusFirst, {"--bogus", "-h"}));
    ModuleServerOptions helpFirst;
    EXPECT_TRUE(_parse(helpFirst, {"-h", "--bogus"}));
    EXPECT_TRUE(helpFirst.help);
}
