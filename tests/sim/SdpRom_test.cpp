// The simulated i.MX boot ROM: its answers framed as HID reports and as UART
// bytes, what it keeps of the host's writes, its line discipline on a
// pseudo-terminal, a third-party host (imx_uart) loading through it, and the
// sdprom program.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "sim/SdpRomSerial.h"
#include "support/CodeBytes.h"
#include "support/FdIo.h"
#include "support/PeerProcess.h"
#include "support/Process.h"
#include "support/TempDir.h"

using Bytes = std::vector<uint8_t>;
using Sim::SdpRom;

namespace {

Bytes _command(uint8_t type, uint32_t address, uint8_t format, uint32_t count, uint32_t data = 0)
{
    Bytes c{type, type};
    for (uint32_t v : {address})
        for (int s = 24; s >= 0; s -= 8)
            c.push_back(uint8_t(v >> s));
    c.push_back(format);
    for (uint32_t v : {count, data})
        for (int s = 24; s >= 0; s -= 8)
            c.push_back(uint8_t(v >> s));
    c.push_back(0);
    return c;
}

Bytes _report(uint8_t id, const Bytes& payload)
{
    Bytes r(1 + payload.size(), id);
    std::copy(payload.begin(), payload.end(), r.begin() + 1);
    return r;
}

Bytes _word(uint32_t w)
{
    return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

// Report 4 with a word and zeros up to its 64 bytes.
Bytes _response(uint32_t w)
{
    Bytes r = _report(4, _word(w));
    r.resize(65, 0);
    return r;
}

const Bytes kHab = _report(3, _word(0x56787856));

// An image that imx_uart accepts: IVT at its start (entry, boot data, self)
// and boot data giving the load address and size.
Bytes _imageWithIvt(uint32_t load, size_t size)
{
    Bytes image = testsupport::Code(size);
    auto put = [&image](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            image[at + i] = uint8_t(v >> (8 * i));
    };
    const uint32_t words[] = {0x412000D1, load + 0x100, 0, 0, load + 0x20, load, 0, 0, load, uint32_t(size), 0};
    for (size_t i = 0; i < std::size(words); ++i)
        put(4 * i, words[i]);
    return image;
}

}  // namespace

struct HidCase {
    const char* name;
    std::vector<Bytes> hostReports;
    std::vector<Bytes> expected;  // what the ROM sends back to the last host report
};

class SdpRomHid : public ::testing::TestWithParam<HidCase> {};

TEST_P(SdpRomHid, AnswersWithReports3And4)
{
    Sim::SdpRomConfig config;
    config.fingerprintLow = 0x11223344;
    config.fingerprintHigh = 0x55667788;
    SdpRom rom(config);
    std::vector<Bytes> got;
    for (const Bytes& report : GetParam().hostReports)
        got = rom.HidReport(report.data(), report.size());
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SdpRomHid,
    ::testing::Values(
        HidCase{"ErrorStatus", {_report(1, _command(5, 0, 0, 0))}, {kHab, _response(0xF0F0F0F0)}},
        HidCase{"FingerprintLow", {_report(1, _command(1, 0x401F4410, 0x20, 4))}, {kHab, _response(0x11223344)}},
        HidCase{"FingerprintHigh", {_report(1, _command(1, 0x401F4420, 0x20, 4))}, {kHab, _response(0x55667788)}},
        // The command alone: the ROM waits for the data before it says anything.
        HidCase{"WriteFileCommand", {_report(1, _command(4, 0x20000000, 0x20, 3))}, {}},
        HidCase{"WriteFileData",
                {_report(1, _command(4, 0x20000000, 0x20, 3)), _report(2, {1, 2}), _report(2, {3, 4, 5})},
                {kHab, _response(0x88888888)}},
        HidCase{"WriteRegister", {_report(1, _command(2, 0x20000000, 0x20, 4, 0xCAFE))}, {kHab, _response(0x128A8A12)}},
        HidCase{"SkipDcdHeader", {_report(1, _command(0x0C, 0, 0, 0))}, {kHab, _response(0x900DD009)}},
        HidCase{"Jump", {_report(1, _command(0x0B, 0x20000400, 0, 0))}, {kHab}},
        HidCase{"MismatchedTypeBytes", {_report(1, {0x05, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})}, {}},
        HidCase{"ShortCommandReport", {Bytes{1, 5, 5, 0}}, {}}, HidCase{"UnknownReport", {Bytes{7, 1, 2}}, {}},
        HidCase{"EmptyReport", {Bytes{}}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SdpRomModel, KeepsWritesPerAddressAndReadsThemBack)
{
    SdpRom rom;
    Bytes first = testsupport::Code(100), second{0xA1, 0xA2, 0xA3, 0xA4};
    Bytes command = _command(4, 0x20000000, 0x20, 100);
    rom.Command(command.data());
    size_t taken = 0;
    rom.Data(first.data(), 60, taken);
    EXPECT_EQ(taken, 60u);
    EXPECT_EQ(rom.DataExpected(), 40u);
    Bytes rest(first.begin() + 60, first.end());
    rest.push_back(0xFF);  // one byte more than announced
    auto replies = rom.Data(rest.data(), rest.size(), taken);
    EXPECT_EQ(taken, 40u) << "bytes beyond the announced count are not the write's";
    EXPECT_EQ(SdpRom::SerialBytes(replies), (Bytes{0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88}));
    command = _command(4, 0x20000010, 0x20, 4);
    rom.Command(command.data());
    rom.Data(second.data(), second.size(), taken);

    Bytes expected = first;
    std::copy(second.begin(), second.end(), expected.begin() + 16);
    EXPECT_EQ(rom.Memory(0x20000000, 100), expected) << "the later write wins";
    EXPECT_EQ(rom.Memory(0x1FFFFFFE, 4), (Bytes{0, 0, first[0], first[1]}));
    ASSERT_EQ(rom.Writes().size(), 2u);
    EXPECT_EQ(rom.Writes()[0].bytes, first);

    // Register reads cover memory, bytes beyond it are zero.
    command = _command(1, 0x20000062, 0x20, 4);
    EXPECT_EQ(SdpRom::SerialBytes(rom.Command(command.data())),
              (Bytes{0x56, 0x78, 0x78, 0x56, first[98], first[99], 0, 0}));

    // A read register of a huge count is cut, never allocated whole.
    command = _command(1, 0, 0x20, 0xFFFFFFFF);
    EXPECT_EQ(SdpRom::SerialBytes(rom.Command(command.data())).size(), 4u + (64u << 10));
    // A write larger than RAM is refused and expects no data.
    command = _command(4, 0, 0x20, 0xFFFFFFFF);
    rom.Command(command.data());
    EXPECT_EQ(rom.DataExpected(), 0u);

    std::vector<uint32_t> hooked;
    rom.SetJumpHook([&hooked](uint32_t address) { hooked.push_back(address); });
    command = _command(0x0B, 0x20000400, 0, 0);
    rom.Command(command.data());
    EXPECT_EQ(hooked, std::vector<uint32_t>{0x20000400});
    EXPECT_EQ(rom.Jumps(), std::vector<uint32_t>{0x20000400});
    EXPECT_EQ(rom.CommandCount(4), 3u);
}

TEST(SdpRomModel, FaultNames)
{
    Sim::SdpRomConfig config;
    std::string error;
    EXPECT_TRUE(config.SetFault("extra-bytes=9", error));
    EXPECT_EQ(config.extraBytes, 9u);
    EXPECT_EQ(config.fault, Sim::SdpRomFault::ExtraBytes);
    for (const char* bad : {"extra-bytes=", "extra-bytes=0", "extra-bytes=x", "loud", ""})
        EXPECT_FALSE(config.SetFault(bad, error)) << bad;
}

TEST(SdpRomSerialLine, DropsPartialCommandsAfterSilenceAndAnswersTheAssociationKey)
{
    auto rom = std::make_shared<SdpRom>();
    Sim::SdpRomSerial serial(rom);
    std::string error;
    ASSERT_TRUE(serial.Start(error)) << error;
    int fd = open(serial.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);

    Bytes key{0x23, 0x45, 0x45, 0x23};
    ASSERT_TRUE(fdio::writeAll(fd, key.data(), key.size()));
    EXPECT_EQ(fdio::readFor(fd, 4, 5000), key);

    // Half a command, silence, then a whole one: only the whole one counts.
    Bytes status = _command(5, 0, 0, 0);
    ASSERT_TRUE(fdio::writeAll(fd, status.data(), 7));
    std::this_thread::sleep_for(std::chrono::milliseconds(3 * Sim::SdpRomSerial::PARTIAL_TIMEOUT_MS));
    ASSERT_TRUE(fdio::writeAll(fd, status.data(), status.size()));
    EXPECT_EQ(fdio::readFor(fd, 100, 1000), (Bytes{0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0}));
    EXPECT_EQ(serial.DiscardedPartials(), 1u);

    // Command and data in one burst, with the next command right behind the data.
    Bytes burst = _command(4, 0x20000000, 0x20, 5);
    Bytes data{9, 8, 7, 6, 5};
    burst.insert(burst.end(), data.begin(), data.end());
    burst.insert(burst.end(), status.begin(), status.end());
    ASSERT_TRUE(fdio::writeAll(fd, burst.data(), burst.size()));
    EXPECT_EQ(fdio::readFor(fd, 16, 5000).size(), 16u);
    EXPECT_EQ(rom->Memory(0x20000000, 5), data);
    close(fd);
}

TEST(SdpRomPeer, ImxUartLoadsAnImageAndJumpsWithAndWithoutAssociation)
{
    if (testsupport::RunProcess({"sh", "-c", "command -v imx_uart"}).exit_status != 0)
        GTEST_SKIP() << "imx_uart is not installed (scripts/install-deps)";
    testsupport::TempDir dir;
    std::string conf =
        dir.Write("imxrt.conf", std::string("imxrt\nhid,1024,0x20000000,0x20000000,512K,0x20200000,1M\n"));
    Bytes image = _imageWithIvt(0x20000000, 9000);
    std::string path = dir.Write("image.bin", image);
    for (bool associate : {true, false}) {
        auto rom = std::make_shared<SdpRom>();
        Sim::SdpRomSerial serial(rom);
        std::string error;
        ASSERT_TRUE(serial.Start(error)) << error;
        // imx_uart waits for ever for a status after a jump: bound it.
        // Line-buffered so that its words survive the time-out's kill.
        std::vector<std::string> argv{"timeout", "3", "stdbuf", "-oL", "imx_uart", "-n"};
        if (!associate)
            argv.push_back("-N");
        argv.insert(argv.end(), {serial.SlavePath(), conf, path});
        testsupport::ProcessResult run = testsupport::RunProcess(argv);
        std::string said = run.out + run.err;
        EXPECT_EQ(said.find("association phase succeeded") != std::string::npos, associate) << said;
        EXPECT_NE(said.find("jumping to 0x20000000"), std::string::npos) << said;
        EXPECT_EQ(rom->Memory(0x20000000, image.size()), image) << "association " << associate;
        EXPECT_EQ(rom->Jumps(), std::vector<uint32_t>{0x20000000});
        EXPECT_EQ(rom->UnknownCommands(), 0u);
    }
}

// The program: it prints its line, serves our loader, and on SIGTERM reports
// what it received and writes the memory it was asked for.
TEST(SdpRomProgram, ServesTheLoaderAndDumpsMemoryOnExit)
{
    testsupport::TempDir dir;
    std::string dump = dir / "memory.bin";
    testsupport::PeerProcess sdprom(UPDATER_BINARY_DIR "/sim/sdprom");
    ASSERT_TRUE(sdprom.Start({"--verbose", "--fingerprint", "DEADBEEF,12345678", "--dump", "0x20000000,3000," + dump}))
        << sdprom.Error();
    ASSERT_FALSE(sdprom.Lines().empty());
    ASSERT_EQ(sdprom.Lines()[0].rfind("sdp pty /dev/pts/", 0), 0u) << sdprom.Lines()[0];
    std::string port = sdprom.Lines()[0].substr(8);

    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(port)));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    Bytes image = testsupport::Code(2500);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    EXPECT_EQ(fingerprint, 0x12345678DEADBEEFull);
    loader.startLoader(0x20000400);

    EXPECT_EQ(sdprom.Stop(), 0);
    Bytes expected = image;
    expected.resize(3000, 0);
    std::string memory = testsupport::ReadFile(dump);
    EXPECT_EQ(Bytes(memory.begin(), memory.end()), expected);
    std::string err = sdprom.Stderr();
    EXPECT_NE(err.find("sdprom: write 0x20000000 2500 bytes"), std::string::npos) << err;
    EXPECT_NE(err.find("sdprom: jump 0x20000400"), std::string::npos) << err;
}

struct BadArguments {
    std::vector<std::string> args;
    const char* message;
};

class SdpRomProgramArguments : public ::testing::TestWithParam<BadArguments> {};

// A wrong command line ends with status 2 and says what is wrong, before any pty is made.
TEST_P(SdpRomProgramArguments, AreRefused)
{
    std::vector<std::string> argv{std::string(UPDATER_BINARY_DIR) + "/sim/sdprom"};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    testsupport::ProcessResult run = testsupport::RunProcess(argv);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("ready"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Sdprom, SdpRomProgramArguments,
    ::testing::Values(BadArguments{{"--fault", "loud"}, "unknown fault loud"},
                      BadArguments{{"--fault"}, "--fault needs a name"},
                      BadArguments{{"--fingerprint", "12345678"}, "--fingerprint needs LOW,HIGH"},
                      BadArguments{{"--fingerprint", "1,2,3"}, "--fingerprint needs LOW,HIGH"},
                      BadArguments{{"--dump", "0x20000000,0,/tmp/x"}, "--dump needs ADDRESS,LENGTH,FILE"},
                      BadArguments{{"--dump", "0x20000000,16,"}, "--dump needs ADDRESS,LENGTH,FILE"},
                      BadArguments{{"--baud", "0"}, "--baud needs a rate"},
                      BadArguments{{"--baud", "fast"}, "--baud needs a rate"},
                      BadArguments{{"--loud"}, "unknown argument --loud"}));

// Paced at a line rate the ROM takes bytes no faster than the line carries them.
TEST(SdpRomSerialLine, PacedRomTakesTheLineTime)
{
    auto rom = std::make_shared<SdpRom>();
    Sim::SdpRomSerial serial(rom, 115200);
    std::string error;
    ASSERT_TRUE(serial.Start(error)) << error;
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(serial.SlavePath())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    Bytes image = testsupport::Code(4096);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 4096 data bytes, two 16-byte commands and two 8-byte answers at 10 bits a byte.
    EXPECT_GE(took, (4096 + 2 * 16 + 2 * 8) * 10 / 115200.0);
    EXPECT_EQ(rom->Memory(0x20000000, image.size()), image);
}
