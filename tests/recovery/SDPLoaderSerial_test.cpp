// The SDP loader over a serial line against the simulated boot ROM on a
// pseudo-terminal: images land where they were sent, the jump arrives, a ROM
// that is absent or misbehaves ends every wait with the right result.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "sim/SdpRomSerial.h"
#include "support/CodeBytes.h"
#include "support/PtyPair.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

double _secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct RomOnPty {
    explicit RomOnPty(Sim::SdpRomConfig config = {}) : rom(std::make_shared<Sim::SdpRom>(config)), serial(rom)
    {
        std::string error;
        started = serial.Start(error);
    }
    std::shared_ptr<Sim::SdpRom> rom;
    Sim::SdpRomSerial serial;
    bool started = false;
};

}  // namespace

TEST(SDPLoaderSerial, LoadsAnImageReadsTheFingerprintAndJumpsAfterAStrayProbe)
{
    Sim::SdpRomConfig config;
    config.fingerprintLow = 0x0BADF00D;
    config.fingerprintHigh = 0xC0FFEE01;
    RomOnPty rom(config);
    ASSERT_TRUE(rom.started);

    // A host probed the line for another ROM first: an LPC sync "?" is left over.
    {
        int fd = open(rom.serial.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "?", 1), 1);
        close(fd);
    }

    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(rom.serial.SlavePath())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);

    Bytes image = testsupport::Code(2500);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    Bytes second = testsupport::Code(300);
    EXPECT_EQ(loader.writeLoader(second, 0x20001000), SDPLoader::SDP_OK);
    uint64_t fingerprint = 0;
    EXPECT_EQ(loader.getFingerprint(fingerprint), SDPLoader::SDP_OK);
    loader.startLoader(0x20000400);

    EXPECT_EQ(rom.rom->Memory(0x20000000, image.size()), image);
    EXPECT_EQ(rom.rom->Memory(0x20001000, second.size()), second);
    auto writes = rom.rom->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 0x20000000u);
    EXPECT_EQ(writes[0].bytes.size(), 2500u);
    EXPECT_EQ(fingerprint, 0xC0FFEE010BADF00Dull);
    EXPECT_EQ(rom.rom->Jumps(), std::vector<uint32_t>{0x20000400});
    // The probe byte and the first status command may have run together into
    // an unknown command; the ROM dropped the rest after the silence, and a
    // later liveness attempt got through.
    EXPECT_GE(rom.serial.DiscardedPartials(), 1u);
    EXPECT_LE(rom.rom->UnknownCommands(), 2u);
    EXPECT_EQ(rom.rom->CommandCount(0x05), 3u) << "one liveness check per writeLoader and getFingerprint";
}

TEST(SDPLoaderSerial, NoRomOnTheLineReturnsNoAnswerAfterFiveStatusPackets)
{
    PtyPair line;  // nothing answers on the other side
    ASSERT_TRUE(line.ok());
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(line.slavePath())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    auto start = Clock::now();
    EXPECT_EQ(loader.writeLoader(testsupport::Code(2500), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_LT(_secondsSince(start), 20.0);
    Bytes status(16, 0);
    status[0] = status[1] = 0x05;
    Bytes sent = line.read(1000, 500);
    ASSERT_EQ(sent.size(), 5 * status.size()) << "five error-status commands and nothing else";
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(Bytes(sent.begin() + long(16 * i), sent.begin() + long(16 * (i + 1))), status);
}

struct FaultCase {
    const char* name;
    const char* fault;
    int writeResult;
    int fingerprintResult;
    // A second failure the write may end with, when the fault's timing against the
    // transfer decides which check sees it first; -1 when only writeResult will do.
    int otherWriteResult = -1;
};

class SDPLoaderSerialFault : public ::testing::TestWithParam<FaultCase> {};

// Whatever the ROM sends, the loader ends within bounded time with a failure
// and never takes a failed transfer for a good one.
TEST_P(SDPLoaderSerialFault, EndsWithTheFailure)
{
    Sim::SdpRomConfig config;
    std::string error;
    ASSERT_TRUE(config.SetFault(GetParam().fault, error)) << error;
    RomOnPty rom(config);
    ASSERT_TRUE(rom.started);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(rom.serial.SlavePath())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    auto start = Clock::now();
    int writeResult = loader.writeLoader(testsupport::Code(2500), 0x20000000);
    if (writeResult != GetParam().otherWriteResult) {
        EXPECT_EQ(writeResult, GetParam().writeResult);
    }
    uint64_t fingerprint = 0;
    int fingerprintResult = loader.getFingerprint(fingerprint);
    if (GetParam().fingerprintResult >= 0) {
        EXPECT_EQ(fingerprintResult, GetParam().fingerprintResult);
    }
    loader.startLoader(0x20000400);
    EXPECT_LT(_secondsSince(start), 20.0);
}

INSTANTIATE_TEST_SUITE_P(
    Roms, SDPLoaderSerialFault,
    ::testing::Values(FaultCase{"Silent", "silent", SDPLoader::SDP_NO_ANSWER, SDPLoader::SDP_NO_ANSWER},
                      FaultCase{"StatusOnly", "status-only", SDPLoader::SDP_NO_ANSWER, SDPLoader::SDP_NO_ANSWER},
                      // Thirteen bytes of noise look alive but never complete a write.
                      FaultCase{"Garbage", "garbage", SDPLoader::SDP_NOT_COMPLETE, -1},
                      FaultCase{"WriteIncomplete", "write-incomplete", SDPLoader::SDP_NOT_COMPLETE, SDPLoader::SDP_OK},
                      // A flood after each answer: stray bytes stop the transfer, or, when
                      // they reach the line only after the last chunk went out, the answer
                      // to the write is not the completion word.
                      FaultCase{"Flood", "extra-bytes=200000", SDPLoader::SDP_ABORTED, -1, SDPLoader::SDP_NOT_COMPLETE},
                      FaultCase{"FewExtraBytes", "extra-bytes=3", SDPLoader::SDP_OK, SDPLoader::SDP_OK}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SDPLoaderSerial, WriteToALineThatTakesNothingGivesUp)
{
    PtyPair line;  // the other side never reads: the pty fills up
    ASSERT_TRUE(line.ok());
    Serial_SDPLoader serial(line.slavePath());
    ASSERT_TRUE(serial.init());
    Bytes packet(1 << 20, 0x5A);
    auto start = Clock::now();
    EXPECT_EQ(serial.writeData(packet), -1);
    double took = _secondsSince(start);
    EXPECT_GE(took, Serial_SDPLoader::WRITE_STALL_MS / 1000.0 * 0.9);
    EXPECT_LT(took, 20.0);
}

// However much a ROM sends, one read takes at most READ_LIMIT bytes and ends;
// what it leaves waits for the next read, and a zero time-out read takes only
// what is there.
TEST(SDPLoaderSerial, ReadsAreCappedAndEnd)
{
    PtyPair line;
    ASSERT_TRUE(line.ok());
    Serial_SDPLoader serial(line.slavePath());
    ASSERT_TRUE(serial.init());
    Bytes empty;
    EXPECT_EQ(serial.readData(empty, 0), 0);
    EXPECT_TRUE(empty.empty());

    Bytes flood(3 * SDPLoader_Interface::READ_LIMIT / 2, 0xAB);
    ASSERT_TRUE(line.write(flood));
    Bytes first, second;
    auto start = Clock::now();
    EXPECT_EQ(serial.readData(first, 100), ssize_t(SDPLoader_Interface::READ_LIMIT));
    EXPECT_EQ(first.size(), SDPLoader_Interface::READ_LIMIT);
    EXPECT_EQ(serial.readData(second, 0), ssize_t(flood.size() - SDPLoader_Interface::READ_LIMIT));
    EXPECT_LT(_secondsSince(start), 20.0);

    // Four bytes and then silence: the wait runs out with what came.
    ASSERT_TRUE(line.write({1, 2, 3, 4}));
    Bytes partial{9};  // appended to, not replaced
    EXPECT_EQ(serial.readData(partial, 50), 4);
    EXPECT_EQ(partial, (Bytes{9, 1, 2, 3, 4}));
    uint32_t word = 0;
    EXPECT_FALSE(serial.getDataFromBuffer(partial, 0, word));
}

// The port is set to 115200 bits/s, 8N1, raw, and what was on the line
// before the loader opened it is gone.
TEST(SDPLoaderSerial, InitSetsTheLineAndDropsWhatCameBefore)
{
    PtyPair line;
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(line.write({0x11, 0x22, 0x33}));  // noise from before
    Serial_SDPLoader serial(line.slavePath());
    ASSERT_TRUE(serial.init());
    int fd = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    struct termios settings {};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    close(fd);
    EXPECT_EQ(cfgetispeed(&settings), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL), tcflag_t(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(settings.c_lflag, 0u) << "no echo, no canonical mode, no signals";
    EXPECT_EQ(settings.c_iflag, 0u);
    EXPECT_EQ(settings.c_oflag, 0u);

    Bytes after;
    EXPECT_EQ(serial.readData(after, 0), 0) << "the noise was dropped";
    // Bytes go out without the report id, as they are otherwise.
    Bytes status;
    SDPLoader::_createStatusPacket(status);
    EXPECT_EQ(serial.writeData(status), 16);
    EXPECT_EQ(line.read(100, 1000), Bytes(status.begin() + 1, status.end()));
    EXPECT_EQ(serial.writeData({}), -1) << "an empty packet has no report id to drop";
}
