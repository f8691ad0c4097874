// The vmodule program: flags and configuration files start modules, it prints
// where they listen, serves them, and stops cleanly on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

using testsupport::VmoduleProcess;
using Bytes = std::vector<uint8_t>;

namespace {

// One request to a module over TCP, its reply of n bytes.
Bytes _ask(const std::string& address, uint16_t port, const Bytes& request, size_t n)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    Bytes got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        while (got.size() < n) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            uint8_t b[64];
            ssize_t r = recv(fd, b, sizeof b, 0);
            if (r <= 0)
                break;
            got.insert(got.end(), b, b + r);
        }
    }
    close(fd);
    return got;
}

}  // namespace

TEST(VmoduleProgram, StartsModulesFromFlagsPrintsTheirPlacesAndStopsOnSigterm)
{
    VmoduleProcess modules;
    ASSERT_TRUE(
        modules.Start({"--trace", "--module", "serial=0A0A0A0A,model=4", "--attach", "serial=0B0B0B0B,address=6",
                       "--fault", "busy", "--module", "serial=0C0C0C0C,transport=pty"}))
        << modules.Error();
    ASSERT_EQ(modules.Lines().size(), 3u);
    EXPECT_EQ(modules.Lines()[0], "module 0B0B0B0B attached 0A0A0A0A 6");
    EXPECT_EQ(modules.TcpAddress(0x0A0A0A0A), "127.0.0.1");
    ASSERT_NE(modules.TcpPort(0x0A0A0A0A), 0);
    EXPECT_EQ(modules.PtyPath(0x0C0C0C0C).rfind("/dev/pts/", 0), 0u);

    // The router answers for itself; the busy module behind it refuses.
    EXPECT_EQ(_ask("127.0.0.1", modules.TcpPort(0x0A0A0A0A), {2, 3, 3, 0x48, 0x20, 6, 3, 3, 0x49, 0x20}, 10),
              (Bytes{2, 4, 3, 8, 0, 4, 6, 4, 3, 9, 0x80, 5}));
    EXPECT_EQ(modules.Stop(), 0);
    EXPECT_NE(modules.Stderr().find("0A0A0A0A <- 02 03 03 48 20"), std::string::npos) << modules.Stderr();
}

TEST(VmoduleProgram, ReadsAConfigurationFile)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(dir.WriteFile("modules.conf",
                              "# a router with one module\n"
                              "[module]\n"
                              "serial = 0D0D0D0D   # the router\n"
                              "build = 77\n"
                              "[attached]\n"
                              "serial = 0E0E0E0E\n"
                              "address = 8\n"
                              "fault = wrong-sum,always\n"));
    VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--config", dir / "modules.conf"})) << modules.Error();
    EXPECT_EQ(modules.Lines()[0], "module 0E0E0E0E attached 0D0D0D0D 8");
    EXPECT_EQ(_ask("127.0.0.1", modules.TcpPort(0x0D0D0D0D), {2, 2, 73, 0xFF}, 8),
              (Bytes{2, 6, 73, 0xFF, 0, 0, 0, 77}));
    EXPECT_EQ(_ask("127.0.0.1", modules.TcpPort(0x0D0D0D0D), {8, 2, 95, 4}, 9), (Bytes{8, 7, 95, 7, 0, 0, 0, 0, 1}));
}

TEST(VmoduleProgram, RefusesWhatItDoesNotUnderstand)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(dir.WriteFile("bad.conf", "[module]\nserial = 1\ncolour = blue\n"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--module", "address=7"}, "bad value '7' for address"},
        {{"--fault", "busy"}, "--fault needs a --module or --attach before it"},
        {{"--module", "serial=1", "--fault", "explode"}, "unknown fault 'explode'"},
        {{"--attach", "serial=2"}, "--attach needs a --module before it"},
        {{"--config", dir / "bad.conf"}, "bad.conf:3: unknown setting 'colour'"},
        {{"--module", "serial=1,listen=127.0.0.1,discovery=198.51.100.77"}, "no interface holds 198.51.100.77"},
        {{"--module", "serial=1,discovery=198.51.100.77"}, "cannot listen on 198.51.100.77"},
        {{"--frobnicate"}, "unknown argument --frobnicate"},
    };
    testsupport::RunOptions options;
    options.kill_after_seconds = 30;
    for (const Case& c : cases) {
        std::vector<std::string> argv{testsupport::VmodulePath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = testsupport::RunProcess(argv, options);
        EXPECT_EQ(result.exit_status, 2) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    auto help = testsupport::RunProcess({testsupport::VmodulePath(), "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("usage: vmodule"), std::string::npos);
}
