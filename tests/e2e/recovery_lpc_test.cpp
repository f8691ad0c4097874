// "updater -N" and "updater -U -t RECOVER" against a simulated LPC17xx boot
// ROM on a pseudo-terminal: the chip's fingerprint, the recovery query, the
// download, the descrambling and the flash the ROM ends up with.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "firmware/BirdWriter.h"
#include "sim/LpcIspPty.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/Process.h"
#include "support/PtyPair.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

using testsupport::HasLine;
using testsupport::ProcessResult;

namespace {

constexpr uint32_t DEVICE = 0x3C0FFEE5;
constexpr uint32_t BUILD = 4321;
const uint32_t KEY[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};  // the ROM's "N" words
const char* const FINGERPRINT_LINE = "[ 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 ]";
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
constexpr uint32_t STAGING = 0x10001000;

using Image = std::map<uint32_t, std::vector<uint8_t>>;

// A recovery image: the blocks scrambled with the chip's key, and the block
// of eight bytes that ends the transfer.
std::vector<uint8_t> RecoveryImage(const Image& plain, bool generic = false)
{
    BirdWriter writer;
    for (const auto& [address, code] : plain) {
        std::vector<uint8_t> scrambled = code;
        BirdWriter::Scramble(scrambled, KEY);
        writer.AddFirmware(address, scrambled);
    }
    writer.AddFirmware(0x0007FFF0, {0xA5, 0xA5, 0xA5, 0xA5});
    if (generic)
        writer.AddOffsets(0x00000100, 0);
    writer.AddInfo(BUILD, "3.1.0", generic ? 0 : DEVICE, "HubC4");
    return writer.FileBytes();
}

// The flash after a recovery with this image: erased, with the image.
std::vector<uint8_t> FlashWith(const Image& plain)
{
    std::vector<uint8_t> flash(Sim::LpcIspRom::kFlashSize, 0xFF);
    for (const auto& [address, code] : plain)
        std::copy(code.begin(), code.end(), flash.begin() + address);
    return flash;
}

// The first difference of two flash images, for a readable failure.
std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want)
{
    for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
        if (got[i] != want[i]) {
            char text[80];
            snprintf(text, sizeof text, "at 0x%05zX: %02X, expected %02X", i, got[i], want[i]);
            return text;
        }
    return got.size() == want.size() ? "none" : "sizes differ";
}

class LpcRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        plain[0x00000000] = testsupport::Code(3000, 11);
        plain[0x00010000] = testsupport::Code(10000, 12);  // 4096 + 4096 + 1808
        plain[0x00020000] = testsupport::Code(1001, 13);   // not a multiple of 4
        std::string error;
        ASSERT_TRUE(rom.Start(error)) << error;
        // What the chip held before: none of it may survive the recovery.
        rom.With([](Sim::LpcIspRom& chip) { chip.SetFlash(std::vector<uint8_t>(0x30000, 0x00)); });
    }

    void StartServer()
    {
        std::filesystem::create_directories(firmware / Serial());
        ASSERT_TRUE(BirdWriter::WriteBytes(firmware / (Serial() + "/" + std::to_string(BUILD) + ".bird"),
                                           RecoveryImage(plain)));
        ASSERT_TRUE(firmware.WriteFile("server.conf", "recover 12345678 9ABCDEF0 0F1E2D3C 4B5A6978 " + Serial() + " " +
                                                          std::to_string(BUILD) + "\n"));
        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    static std::string Serial()
    {
        char text[9];
        snprintf(text, sizeof text, "%08X", DEVICE);
        return text;
    }

    ProcessResult Updater(std::vector<std::string> args, const std::string& url = NO_SERVER)
    {
        args.insert(args.end(), {"-i", store.path(), "-u", url});
        return testsupport::RunUpdater(args);
    }

    std::vector<uint8_t> Flash()
    {
        return rom.With([](Sim::LpcIspRom& chip) { return chip.Flash(); });
    }
    std::vector<std::string> Commands()
    {
        return rom.With([](Sim::LpcIspRom& chip) { return chip.Commands(); });
    }
    unsigned Count(const std::string& command)
    {
        unsigned count = 0;
        for (const std::string& line : Commands())
            count += line == command;
        return count;
    }

    Image plain;
    Sim::LpcIspPty rom;
    testsupport::TempDir firmware, store;
    std::unique_ptr<Sim::UpdateServer> server;
};

}  // namespace

TEST_F(LpcRecovery, FingerprintIsTheChipsFourWords)
{
    ProcessResult result = Updater({"-N", "-s", rom.SlavePath()});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, FINGERPRINT_LINE)) << result.out;
    EXPECT_EQ(Count("E 0 29"), 0u) << "identification erases nothing";
}

TEST_F(LpcRecovery, FingerprintAsJsonNamesTheChip)
{
    ProcessResult result = Updater({"-N", "-s", rom.SlavePath(), "--json"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    nlohmann::json document = nlohmann::json::parse(result.out, nullptr, false);
    ASSERT_TRUE(document.is_object()) << result.out;
    EXPECT_EQ(document["chip"], "LPC17xx");
    ASSERT_EQ(document["fingerprint"].size(), 4u);
    std::string line = "[";
    for (const auto& word : document["fingerprint"])
        line += " " + word.get<std::string>();
    EXPECT_EQ(line + " ]", FINGERPRINT_LINE);
}

TEST(LpcRecoverySilent, FingerprintOfAPortWhereNothingAnswersFailsInBoundedTime)
{
    PtyPair line;
    ASSERT_TRUE(line.ok());
    testsupport::TempDir store;
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = testsupport::RunUpdater({"-N", "-s", line.slavePath(), "-i", store.path(), "-u", NO_SERVER});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, "Got no response from chip")) << result.err;
    EXPECT_LT(seconds, 20.0);
}

// A ROM still in an earlier run's session (until a reset) is used, or named when it is
// inside an exchange that only a reset ends.
TEST_F(LpcRecovery, ARomStillInASessionIsUsedOrNamed)
{
    const std::vector<std::string> sync = {"?", "Synchronized\r\n", "14746\r\n"};  // an earlier run's handshake
    const std::string busy =
        "The boot ROM on " + rom.SlavePath() + " is in the middle of another session; reset the chip and try again";
    const struct {
        std::string then;  // what the earlier run sent after it
        std::vector<std::string> args;
        int exit_status;
        std::string line;  // on standard output for 0, on standard error otherwise
    } cases[] = {
        {"N\r\n", {"-N", "-s", rom.SlavePath()}, 0, FINGERPRINT_LINE},
        {"", {"-U", "-t", "RECOVER", "-s", rom.SlavePath()}, 0, "Transferred 3 blocks, 14013 total bytes"},
        {"W 268439552 8\r\n", {"-N", "-s", rom.SlavePath()}, 1, busy},  // inside a write to RAM
    };
    StartServer();
    for (const auto& c : cases) {
        rom.With([&](Sim::LpcIspRom& chip) {
            chip.Reset();
            for (const std::string& text : sync)
                chip.Receive(text);
            chip.Receive(c.then);
        });
        ProcessResult result = Updater(c.args, server->Url());
        EXPECT_EQ(result.exit_status, c.exit_status) << c.then << result.out << result.err;
        EXPECT_TRUE(HasLine(c.exit_status == 0 ? result.out : result.err, c.line)) << result.out << result.err;
        EXPECT_FALSE(HasLine(result.err, "Got no response from chip")) << result.err;
    }
    EXPECT_TRUE(Flash() == FlashWith(plain)) << FirstDifference(Flash(), FlashWith(plain));
}

// The whole recovery from the server's answer for the fingerprint.
TEST_F(LpcRecovery, RecoversFromTheServersBuildForTheFingerprint)
{
    StartServer();
    // --verify has no link to come back on here: it says so and changes nothing.
    ProcessResult result =
        Updater({"-U", "-t", "RECOVER", "-s", rom.SlavePath(), "-X", "0x1", "--verify"}, server->Url());
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, "--verify: an LPC recovery leaves no link to come back on; nothing is verified"))
        << result.out;

    // The query carried the fingerprint, and the build went into the store.
    bool asked = false;
    for (const std::string& request : server->Requests())
        asked |= request.find("op=fix") != std::string::npos &&
                 request.find("fp=12345678%209ABCDEF0%200F1E2D3C%204B5A6978") != std::string::npos;
    EXPECT_TRUE(asked) << "no recovery query with the fingerprint: " << testing::PrintToString(server->Requests());
    EXPECT_EQ(testsupport::ReadFile(store / ("updater/" + Serial() + "/" + std::to_string(BUILD) + ".bird")).size(),
              RecoveryImage(plain).size());

    // Descrambled, erased first, padded with the erased value, started at 0.
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(flash == FlashWith(plain)) << FirstDifference(flash, FlashWith(plain));
    EXPECT_TRUE(rom.With([](Sim::LpcIspRom& chip) { return chip.Started() && chip.StartAddress() == 0; }));
    EXPECT_NE(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Transferring firmware block 2 of 3, 10004 bytes")) << result.out;
    EXPECT_TRUE(HasLine(result.out, "Transferred 3 blocks, 14013 total bytes")) << result.out;

    // The 10000-byte block: 4096, 4096 and 1808 bytes of data, each copy 4096.
    for (const char* line : {"Transferring firmware 4096 bytes to address 0x00010000",
                             "Transferring firmware 4096 bytes to address 0x00011000",
                             "Transferring firmware 1808 bytes to address 0x00012000"})
        EXPECT_NE(result.err.find(line), std::string::npos) << line;
    for (uint32_t address : {0x10000u, 0x11000u, 0x12000u})
        EXPECT_EQ(Count("C " + std::to_string(address) + " " + std::to_string(STAGING) + " 4096"), 1u) << address;
    EXPECT_EQ(Count("E 0 29"), 1u);
}

TEST_F(LpcRecovery, RecoversFromAGivenFileWithoutAskingAnyServer)
{
    std::string image = firmware / "given.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, RecoveryImage(plain)));
    ProcessResult result = Updater({"-U", "-t", "RECOVER", "-s", rom.SlavePath(), "-f", image});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.out, "Recovering from Birdfile: " + image)) << result.out;
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(flash == FlashWith(plain)) << FirstDifference(flash, FlashWith(plain));
}

struct RefusedImage {
    std::string name;
    Image blocks;
    bool generic;
    std::string message;
};

void PrintTo(const RefusedImage& image, std::ostream* out)
{
    *out << image.name;
}

class LpcRefusedImage : public LpcRecovery, public ::testing::WithParamInterface<RefusedImage> {};

// Images the chip cannot take are refused before anything on it is erased.
TEST_P(LpcRefusedImage, LeavesTheChipAsItWas)
{
    std::string image = firmware / "refused.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, RecoveryImage(GetParam().blocks, GetParam().generic)));
    std::vector<uint8_t> before = Flash();
    ProcessResult result = Updater({"-U", "-t", "RECOVER", "-s", rom.SlavePath(), "-f", image});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, GetParam().message)) << result.err;
    EXPECT_EQ(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_TRUE(Flash() == before);
    EXPECT_EQ(Count("E 0 29"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, LpcRefusedImage,
    ::testing::Values(
        RefusedImage{"unaligned",
                     {{0x10010, testsupport::Code(600, 1)}},
                     false,
                     "Firmware block 1 at 0x00010010 is not on a 256-byte boundary; the chip cannot copy it"},
        RefusedImage{"past the flash",
                     {{0x7F000, testsupport::Code(8192, 2)}},
                     false,
                     "Firmware block 1 at 0x0007F000, 8192 bytes, does not fit the chip's flash"},
        RefusedImage{
            "generic", {{0x10000, testsupport::Code(600, 3)}}, true, "Updater does not support offline recovery"},
        RefusedImage{"no firmware", {}, false, "The firmware image holds no firmware for the chip"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == ' ')
                c = '_';
        return name;
    });

struct RomFault {
    std::string name;
    Sim::LpcIspRomFaults faults;
    std::string message;
};

void PrintTo(const RomFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class LpcRomFault : public LpcRecovery, public ::testing::WithParamInterface<RomFault> {};

// A ROM that fails the recovery ends it with a message in bounded time; once
// the chip is reset into its ROM the recovery runs again and succeeds.
TEST_P(LpcRomFault, FailsWithAMessageAndASecondRunSucceeds)
{
    std::string image = firmware / "given.bird";
    ASSERT_TRUE(BirdWriter::WriteBytes(image, RecoveryImage(plain)));
    rom.With([&](Sim::LpcIspRom& chip) { chip.SetFaults(GetParam().faults); });
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = Updater({"-U", "-t", "RECOVER", "-s", rom.SlavePath(), "-f", image});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(HasLine(result.err, GetParam().message)) << result.err;
    EXPECT_EQ(result.out.find("Update time: "), std::string::npos) << result.out;
    EXPECT_LT(seconds, 30.0);

    rom.With([](Sim::LpcIspRom& chip) {
        chip.SetFaults({});
        chip.Reset();
    });
    result = Updater({"-U", "-t", "RECOVER", "-s", rom.SlavePath(), "-f", image});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(flash == FlashWith(plain)) << FirstDifference(flash, FlashWith(plain));
}

Sim::LpcIspRomFaults Silent(uint64_t afterBytes)
{
    Sim::LpcIspRomFaults faults;
    faults.silentAfterBytes = afterBytes;
    return faults;
}

Sim::LpcIspRomFaults Resends(uint32_t from, uint32_t count)
{
    Sim::LpcIspRomFaults faults;
    faults.resendFrom = from;
    faults.resendCount = count;
    return faults;
}

Sim::LpcIspRomFaults Refuses(char command, uint32_t code, uint32_t skip)
{
    Sim::LpcIspRomFaults faults;
    faults.failCommand = command;
    faults.failCode = code;
    faults.failSkip = skip;
    return faults;
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, LpcRomFault,
    ::testing::Values(
        // Identification and erasing take well under 200 bytes; the ROM goes
        // quiet inside the second chunk's data.
        RomFault{"silent_mid_write", Silent(9000), "Write to the chip's RAM failed (firmware for 0x00010000)"},
        RomFault{"three_resends", Resends(4, 3), "Write to the chip's RAM failed (firmware for 0x00000000)"},
        RomFault{"copy_refused", Refuses('C', 9, 1), "Transfer to flash failed at 0x00010000"},
        RomFault{"erase_refused", Refuses('E', 9, 0), "Could not erase the chip's flash"}),
    [](const auto& info) { return info.param.name; });
