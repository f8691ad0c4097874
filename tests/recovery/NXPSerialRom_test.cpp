// The ISP client against the simulated LPC17xx boot ROM on a pseudo-terminal.
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/Log.h"
#include "recovery/NXPSerialClass.h"
#include "sim/LpcIspPty.h"
#include "support/CodeBytes.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class RomLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(rom.Start(error)) << error;
        ASSERT_EQ(isp.Connect(rom.SlavePath().c_str(), 115200), aErrNone);
    }
    void Synchronise() { ASSERT_EQ(isp.Sync(), aErrNone); }
    void SetFaults(const Sim::LpcIspRomFaults& faults)
    {
        rom.With([&](Sim::LpcIspRom& r) { r.SetFaults(faults); });
    }
    Bytes Flash(size_t n)
    {
        return rom.With(
            [&](Sim::LpcIspRom& r) { return Bytes(r.Flash().begin(), r.Flash().begin() + static_cast<long>(n)); });
    }

    // What a recovery does: unlock, prepare and erase everything, then 4096-byte chunks
    // staged in RAM and copied into flash.
    aErr FlashImage(const Bytes& image)
    {
        aErr err;
        if ((err = isp.Unlock()) != aErrNone || (err = isp.Prepare(0, 29)) != aErrNone ||
            (err = isp.Erase(0, 29)) != aErrNone)
            return err;
        for (uint32_t at = 0; at < image.size(); at += 4096) {
            uint32_t n = std::min<uint32_t>(4096, static_cast<uint32_t>(image.size()) - at);
            if ((err = isp.Write(NXPSerialClass::WRITE_ADDRESS, n, image.data() + at)) != aErrNone)
                return err;
            uint32_t first = NXPSerialClass::SectorFromAddress(at),
                     last = NXPSerialClass::SectorFromAddress(at + n - 1);
            if ((err = isp.Prepare(first, last)) != aErrNone)
                return err;
            err = isp.CopyToFlash(at, NXPSerialClass::WRITE_ADDRESS, NXPSerialClass::CopyLength(n));
            if (err != aErrNone)
                return err;
        }
        return aErrNone;
    }

    Sim::LpcIspPty rom;
    NXPSerialClass isp;
};

}  // namespace

TEST_F(RomLine, SyncIdentifyFlash256KiBAndReadItBack)
{
    Synchronise();
    EXPECT_TRUE(isp.echo);
    EXPECT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(std::vector<uint32_t>(isp.deviceID, isp.deviceID + 4),
              (std::vector<uint32_t>{0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978}));
    uint64_t part = 0;
    EXPECT_EQ(isp.GetPartNumber(part), aErrNone);
    EXPECT_EQ(part, 0x26013F37u);
    uint32_t major = 0, minor = 0;
    EXPECT_EQ(isp.GetBootLoaderVersion(major, minor), aErrNone);
    EXPECT_EQ(major * 100 + minor, 401u);

    // A locked ROM refuses to erase; the refusal is a bad return code.
    EXPECT_EQ(isp.Prepare(0, 0), aErrNone);
    EXPECT_EQ(isp.Erase(0, 0), aErrParam);

    Bytes image = testsupport::Code(256 * 1024, 3);
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    ASSERT_EQ(FlashImage(image), aErrNone);
    EXPECT_EQ(Flash(image.size()), image);
    EXPECT_EQ(rom.With([&](Sim::LpcIspRom& r) { return r.Flash()[image.size()]; }), 0xFF) << "beyond the image";

    Bytes back(image.size(), 0);
    ASSERT_EQ(isp.Read(0, static_cast<uint32_t>(back.size()), back.data()), aErrNone);
    EXPECT_EQ(back, image);
    EXPECT_EQ(rom.With([](Sim::LpcIspRom& r) { return r.Resends(); }), 0u);

    // Copying again without an erase only clears bits, as flash does.
    Bytes zeros(256, 0x00), ones(256, 0xFF);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 256, ones.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    EXPECT_EQ(Flash(256), Bytes(image.begin(), image.begin() + 256));
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 256, zeros.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(0, 0), aErrNone);
    ASSERT_EQ(isp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    EXPECT_EQ(Flash(256), zeros);

    // Echo back on, then start the new code.
    ASSERT_EQ(isp.SetEcho(true), aErrNone);
    EXPECT_EQ(isp.ExecuteFrom(0), aErrNone);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!rom.With([](Sim::LpcIspRom& r) { return r.Started(); }) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(rom.With([](Sim::LpcIspRom& r) { return r.Started(); }));
    EXPECT_EQ(rom.With([](Sim::LpcIspRom& r) { return r.StartAddress(); }), 0u);
}

// Checksum failures with the ROM's echo on and off: on a write the ROM answers RESEND,
// on a read it sends a wrong checksum; two are absorbed, the third ends the command.
class RomResend : public RomLine, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(RomResend, BudgetOfThreePerCommand)
{
    auto [echo, reading] = GetParam();
    Synchronise();
    ASSERT_EQ(isp.SetEcho(echo), aErrNone);
    Bytes data = testsupport::Code(2000, 5);
    rom.With([&](Sim::LpcIspRom& r) { r.SetFlash(data); });
    struct Case {
        uint32_t from, count;
        aErr result;
    } cases[] = {{2, 1, aErrNone}, {1, 2, aErrNone}, {2, 3, aErrTimeout}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        Sim::LpcIspRomFaults faults;
        faults.resendFrom = c.from;
        faults.resendCount = c.count;
        SetFaults(faults);  // counts checksum exchanges from here
        Bytes got(2000, 0);
        aErr err = reading ? isp.Read(0, 2000, got.data()) : isp.Write(0x10000000, 2000, data.data());
        EXPECT_EQ(err, c.result);
        if (c.result == aErrNone && reading) {
            EXPECT_EQ(got, data);
        }
        if (c.result == aErrNone && !reading) {
            EXPECT_EQ(rom.With([](Sim::LpcIspRom& r) { return r.Ram(0x10000000, 2000); }), data);
        }
        if (c.result != aErrNone)
            break;  // the ROM is mid-transfer now
    }
}

INSTANTIATE_TEST_SUITE_P(EchoAndDirection, RomResend, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "EchoOn" : "EchoOff") +
                                    (std::get<1>(info.param) ? "Read" : "Write");
                         });

TEST_F(RomLine, RefusedCopyAndSilenceEndCommandsWithErrors)
{
    Synchronise();
    ASSERT_EQ(isp.Unlock(), aErrNone);
    Sim::LpcIspRomFaults faults;
    faults.failCommand = 'C';
    faults.failCode = 9;
    faults.failTimes = 1;
    SetFaults(faults);
    Bytes data = testsupport::Code(4096, 9);
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
    ASSERT_EQ(isp.Prepare(1, 1), aErrNone);
    {
        LogCapture log(DEBUG_NXPSerial);
        EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrParam);
        EXPECT_TRUE(log.Contains("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]")) << log.Text();
    }
    // The ROM's own rule: a copy needs its sectors prepared again.
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    EXPECT_EQ(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096), aErrParam);

    // The ROM falls silent part way through a write: the write ends, in bounded time.
    faults = {};
    faults.silentAfterBytes = 3000;
    rom.With([&](Sim::LpcIspRom& r) { r.SetFaults(faults); });
    auto start = Clock::now();
    aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data());
    EXPECT_EQ(err, aErrTimeout);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_NE(isp.GetDeviceID(), aErrNone);
}

TEST_F(RomLine, TheRomStaysSynchronisedWhenThePortIsReopened)
{
    Synchronise();
    ASSERT_EQ(isp.Disconnect(), aErrNone);
    NXPSerialClass second;
    ASSERT_EQ(second.Connect(rom.SlavePath().c_str(), 115200), aErrNone);
    EXPECT_EQ(second.GetDeviceID(), aErrNone);
    EXPECT_EQ(second.deviceID[3], 0x4B5A6978u);
    // A chip already in command mode echoes a second sync, and the session goes on.
    EXPECT_EQ(second.Sync(), aErrNone);
    EXPECT_EQ(second.GetDeviceID(), aErrNone);
    rom.With([](Sim::LpcIspRom& r) { r.Reset(); });
    EXPECT_EQ(second.Sync(), aErrNone);
}

TEST_F(RomLine, PacedAtTheLineRateTheExchangesStillFitTheirWaits)
{
    rom.SetPacing(115200);
    Synchronise();
    ASSERT_EQ(isp.SetEcho(false), aErrNone);
    Bytes data = testsupport::Code(4096, 11);
    auto start = Clock::now();
    ASSERT_EQ(isp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);
    // 92 lines of 63 characters at 11520 characters a second cannot take less than 0.5 s.
    EXPECT_GT(Clock::now() - start, std::chrono::milliseconds(450));
    Bytes back(4096, 0);
    ASSERT_EQ(isp.Read(NXPSerialClass::WRITE_ADDRESS, 4096, back.data()), aErrNone);
    EXPECT_EQ(back, data);
}

// The reply waits are sized from the line rate: at each rate the ROM moves its bytes
// no faster than a UART would, and every exchange still fits.
class RomRates : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RomRates, SyncIdentifyWriteAndReadAtTheLineRate)
{
    Sim::LpcIspPty rom;
    std::string error;
    ASSERT_TRUE(rom.Start(error)) << error;
    rom.SetPacing(GetParam());
    NXPSerialClass isp;
    ASSERT_EQ(isp.Connect(rom.SlavePath().c_str(), GetParam()), aErrNone);
    EXPECT_EQ(isp.baudRate, GetParam());
    ASSERT_EQ(isp.Sync(), aErrNone);
    ASSERT_EQ(isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(isp.deviceID[0], 0x12345678u);
    Bytes data = testsupport::Code(180, 13);  // four lines, echoed
    ASSERT_EQ(isp.Write(0x10000000, 180, data.data()), aErrNone);
    Bytes back(180, 0);
    ASSERT_EQ(isp.Read(0x10000000, 180, back.data()), aErrNone);
    EXPECT_EQ(back, data);
}

INSTANTIATE_TEST_SUITE_P(Rates, RomRates, ::testing::Values(9600u, 38400u, 115200u, 230400u));
