// "updater -U" end to end: the real binary updates virtual modules reached over
// TCP/IP, directly and behind a routing module. Each test runs in its own
// private network namespace (the update falls back to TCP/IP discovery, which
// multicasts from every interface). The modules record every flashed byte in
// files, so each test compares the flash with the image it sent.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/VmoduleProcess.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::VmoduleProcess;

const std::string SN = "40F5849A";
const uint32_t SERIAL = 0x40F5849A;
const std::string MODEL = "MeterSerial";  // model 17
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60000000;
constexpr uint32_t SECOND_ADDRESS = 0x60010000;

// Code bytes that do not compress much, different for every seed.
std::vector<uint8_t> Code(size_t length, uint32_t seed)
{
    std::vector<uint8_t> code(length);
    for (auto& byte : code) {
        seed = seed * 1103515245u + 12345u;
        byte = uint8_t(seed >> 16);
    }
    return code;
}

// A firmware image and what it should leave in the module's memory.
struct Image {
    std::map<uint32_t, std::vector<uint8_t>> loader;    // address -> code
    std::map<uint32_t, std::vector<uint8_t>> firmware;  // address -> code
    std::vector<uint8_t> bytes;                         // the BIRD file
};

struct ImageOptions {
    uint32_t build = 1200;
    uint32_t serial = SERIAL;
    std::string model = MODEL;
    bool generic = false;  // carries serial-number offsets
    size_t firmwareLength = 3000;
    size_t secondLength = 700;  // a second firmware block; 0 = none
};

constexpr uint32_t SERIAL_OFFSET = FIRMWARE_ADDRESS + 0x100;
constexpr uint32_t DESCRIPTOR_OFFSET = FIRMWARE_ADDRESS + 0x200;

Image MakeImage(const ImageOptions& options)
{
    Image image;
    image.loader[LOADER_ADDRESS] = Code(600, options.build);
    image.firmware[FIRMWARE_ADDRESS] = Code(options.firmwareLength, options.build + 1);
    if (options.secondLength)
        image.firmware[SECOND_ADDRESS] = Code(options.secondLength, options.build + 2);
    BirdWriter writer;
    for (const auto& [address, code] : image.loader)
        writer.AddLoader(address, code);
    for (const auto& [address, code] : image.firmware)
        writer.AddFirmware(address, code);
    if (options.generic)
        writer.AddOffsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    writer.AddInfo(options.build, "2.16.0", options.generic ? 0 : options.serial, options.model);
    image.bytes = writer.FileBytes();
    return image;
}

// The firmware a generic image becomes for one module: its serial number as a
// little-endian word and as the text of the USB serial-number descriptor.
std::vector<uint8_t> Personalised(std::vector<uint8_t> code, uint32_t serial)
{
    size_t word = SERIAL_OFFSET - FIRMWARE_ADDRESS;
    for (int i = 0; i < 4; ++i)
        code[word + i] = uint8_t(serial >> (8 * i));
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    size_t descriptor = DESCRIPTOR_OFFSET - FIRMWARE_ADDRESS;
    for (int i = 0; i < 8; ++i)
        code[descriptor + 2 * i] = uint8_t(text[i]);
    return code;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing " + path + ">";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string Hex8(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The key's value in an attribute file; "" when absent.
std::string Attribute(const std::string& settings, const std::string& key)
{
    std::istringstream in(settings);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

class Update : public ::testing::Test {
protected:
    // A module on TCP/IP that answers discovery in the namespace, restarts
    // quickly and records its flash under work/<flash>.
    std::string Module(const std::string& extra = "", const std::string& flash = "flash",
                       const std::string& serial = SN) const
    {
        std::string settings = "serial=" + serial +
                               ",model=17,discovery=192.0.2.1,load-pause-ms=200,reboot-pause-ms=200," +
                               "new-build=1200,flash-dir=" + (work / flash);
        return extra.empty() ? settings : settings + "," + extra;
    }

    // An attached module (behind a router): no transport of its own.
    std::string Attached(const std::string& extra, const std::string& flash) const
    {
        return "serial=" + SN + ",model=17,load-pause-ms=200,reboot-pause-ms=200,flash-dir=" + (work / flash) + "," +
               extra;
    }

    void StartModules(const std::vector<std::string>& args) { ASSERT_TRUE(modules.Start(args)) << modules.Error(); }

    std::string WriteImage(const Image& image, const std::string& name)
    {
        std::string path = work / name;
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(BirdWriter::WriteBytes(path, image.bytes));
        return path;
    }

    ProcessResult Updater(const std::vector<std::string>& args, const std::string& url = NO_SERVER)
    {
        std::vector<std::string> argv = {testsupport::UpdaterPath(), "-i", store.path(), "-u", url};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunOptions options;
        options.working_directory = work.path();
        return testsupport::RunProcess(argv, options);
    }

    // Waits until the module answers discovery again (it may still be
    // restarting after the last run); false when it never does.
    bool AwaitModule()
    {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (Contains(Updater({"-D", "-t", "TCPIP"}).out, "    " + SN + "  "))
                return true;
        }
        return false;
    }

    std::string Flash(uint32_t address, const std::string& flash = "flash") const
    {
        return ReadFile(work / (flash + "/" + SN + "-" + Hex8(address) + ".bin"));
    }

    bool FlashTouched(const std::string& flash = "flash") const
    {
        return fs::exists(work / flash) && !fs::is_empty(work / flash);
    }

    // Every loader and firmware block of the image is in the module's memory.
    // A module whose loader already ran when the update began (a failed run
    // left it so) keeps the loader it has: only its flash is compared.
    void ExpectFlashed(const Image& image, const std::string& flash = "flash", bool personalised = false,
                       bool loaderToo = true)
    {
        if (loaderToo) {
            for (const auto& [address, code] : image.loader)
                ExpectMemory(flash, address, code);
        }
        for (const auto& [address, code] : image.firmware) {
            bool patched = personalised && address == FIRMWARE_ADDRESS;
            ExpectMemory(flash, address, patched ? Personalised(code, SERIAL) : code);
        }
    }

    void ExpectMemory(const std::string& flash, uint32_t address, const std::vector<uint8_t>& expected)
    {
        std::string actual = Flash(address, flash);
        std::string wanted = Text(expected);
        size_t first = 0;
        while (first < actual.size() && first < wanted.size() && actual[first] == wanted[first])
            ++first;
        EXPECT_TRUE(actual == wanted) << "memory at " << Hex8(address) << ": " << actual.size() << " bytes, "
                                      << wanted.size() << " expected, first difference at " << first
                                      << (actual.rfind("<missing", 0) == 0 ? " (" + actual + ")" : "");
    }

    std::string Settings() const { return ReadFile(store / ("updater/" + SN + "/.settings")); }

    TempDir store;  // the updater's store directory (-i)
    TempDir work;   // images, flash files, the updater's working directory
    VmoduleProcess modules;
};

// Builds on the update server: <firmware>/<SN>/<build>.bird and its configuration.
class UpdateFromServer : public Update {
protected:
    void Serve(const std::map<uint32_t, Image>& builds, const std::string& config)
    {
        for (const auto& [build, image] : builds) {
            std::string path = firmware / (SN + "/" + std::to_string(build) + ".bird");
            fs::create_directories(fs::path(path).parent_path());
            ASSERT_TRUE(BirdWriter::WriteBytes(path, image.bytes));
        }
        ASSERT_TRUE(firmware.WriteFile("server.conf", config));
        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    TempDir firmware;
    std::unique_ptr<Sim::UpdateServer> server;
};

}  // namespace

TEST_F(Update, WritesTheGivenFileAndRecordsItsPathAsTyped)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    Image image = MakeImage({});
    WriteImage(image, "images/fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "images/../images/fw.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Updating from Birdfile: images/../images/fw.bird")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Transferring loader block 1 of 1, 604 bytes")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Transferring firmware block 1 of 2, 3004 bytes")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Transferring firmware block 2 of 2, 704 bytes")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Transferred 2 blocks, 3708 total bytes")) << result.out;
    EXPECT_TRUE(Contains(result.out, "Update time: ")) << result.out;
    ExpectFlashed(image);
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "images/../images/fw.bird");
    EXPECT_NE(Attribute(Settings(), "LAST_TRANSFER_DATE"), "");
}

// A store mounted read-only costs the update nothing but warnings, each naming
// what it could not write and why.
TEST_F(Update, AReadOnlyStoreCostsWarningsThatNameTheirCause)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    WriteImage(MakeImage({}), "fw.bird");
    const std::string device = store / ("updater/" + SN);
    fs::create_directories(device);
    ASSERT_TRUE(store.WriteFile("updater/" + SN + "/.settings", "CREATED_TIME=2026-01-01\n"));
    const char* const readOnly =
        R"(mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" || exit 77; shift; exec "$@")";
    std::vector<std::string> argv = {"unshare", "-m", "sh", "-c", readOnly, "sh", store / "updater"};
    argv.insert(argv.end(),
                {testsupport::UpdaterPath(), "-i", store.path(), "-u", NO_SERVER, "-U", "-d", SN, "-f", "fw.bird"});
    testsupport::RunOptions options;
    options.working_directory = work.path();
    ProcessResult result = testsupport::RunProcess(argv, options);
    if (result.exit_status == 77)
        GTEST_SKIP() << "no read-only bind mount here: " << result.err;
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(MakeImage({}));
    EXPECT_TRUE(Contains(result.err,
                         "Warning: the transfer was not recorded in " + device + "/.settings: Read-only file system\n"))
        << result.err;
    EXPECT_TRUE(Contains(result.err, "Warning: the history was not written: cannot lock " + store / "updater" +
                                         "/.history.lock: Read-only file system\n"))
        << result.err;
}

TEST_F(Update, PersonalisesAGenericImageWithTheModulesSerialNumber)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    Image image = MakeImage({.generic = true});
    WriteImage(image, "generic.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "generic.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image, "flash", true);
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "generic.bird");
}

TEST_F(Update, WithoutServerFileOrHistoryThereIsNoBuild)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    ProcessResult result = Updater({"-U", "-d", SN});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(Contains(result.err + result.out, "Could not find valid build for this device.")) << result.err;
    EXPECT_FALSE(FlashTouched());
}

TEST_F(UpdateFromServer, GetAndUpdateSendsExactlyTheDownloadedBuild)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::map<uint32_t, Image> builds = {{1100, MakeImage({.build = 1100})}, {1200, MakeImage({.build = 1200})}};
    Serve(builds, "latest " + SN + " 1200\n");
    StartModules({"--module", Module()});

    ProcessResult result = Updater({"-G", "-b", "1100", "-U", "-d", SN}, server->Url());
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Updating firmware with build: 1100")) << result.out;
    ExpectFlashed(builds[1100]);
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "1100.bird");
    EXPECT_EQ(Attribute(Settings(), "LATEST_DOWNLOAD"), "1100.bird");
}

TEST_F(UpdateFromServer, NewerBuildMissingLocallyFallsBackToTheLatestDownload)
{
    PRIVATE_NETWORK_OR_RERUN();
    std::map<uint32_t, Image> builds = {{1100, MakeImage({.build = 1100})}, {1200, MakeImage({.build = 1200})}};
    Serve(builds, "latest " + SN + " 1200\n");
    StartModules({"--module", Module()});
    ASSERT_EQ(Updater({"-G", "-b", "1100", "-d", SN}, server->Url()).exit_status, 0);  // the store holds 1100 only

    ProcessResult result = Updater({"-U", "-d", SN}, server->Url());
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out,
                         "New firmware is available.  Updater will proceed if valid firmware is found locally.\n"
                         "Updating with the Latest Download\n"))
        << result.out;
    ExpectFlashed(builds[1100]);
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "1100.bird");
}

// Transfer modes: raw data packets, UEI byte strings, and UEI byte strings
// written in pooled batches, each against the module's own block size. The
// loader always goes in raw packets: 600 bytes make 24 of them.
struct ModeCase {
    const char* name;
    const char* ueiFlag;   // -m
    const char* module;    // module settings
    size_t rawPackets;     // DATA packets in all
    size_t ueiStrings;     // byte strings of 256 bytes
    const char* features;  // protocol features line, "" when not asked
};

void PrintTo(const ModeCase& mode, std::ostream* out)
{
    *out << mode.name;
}

class UpdateModes : public Update, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(UpdateModes, CarryTheImageInModuleSizedPieces)
{
    PRIVATE_NETWORK_OR_RERUN();
    const ModeCase& mode = GetParam();
    StartModules({"--module", Module(std::string("block-size=256,") + mode.module)});
    Image image = MakeImage({.firmwareLength = 1000, .secondLength = 0});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "fw.bird", "-m", mode.ueiFlag, "-X", "0x400"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image);
    EXPECT_EQ(Count(result.err, "{cmdUPGRADE, val_UPGRADE_DATA, "), mode.rawPackets);
    EXPECT_EQ(Count(result.err, "{cmdUPGRADE, val_UPGRADE_DATA_UEI, 256}"), mode.ueiStrings);
    if (*mode.features) {
        EXPECT_TRUE(Contains(result.err, mode.features)) << result.err;
    }
    // 1000 bytes in pieces of the module's 256: three full writes and the rest.
    EXPECT_TRUE(Contains(result.err, "NETWORK: Loader validated firmware init [256 block size]")) << result.err;
    EXPECT_EQ(Count(result.err, "{cmdUPGRADE, val_UPGRADE_WRITE, 256}"), 3u) << result.err;
    EXPECT_EQ(Count(result.err, "{cmdUPGRADE, val_UPGRADE_WRITE, 232}"), 1u) << result.err;
}

// Raw: 256 bytes make 10 packets (9 of 26 and one of 22), 232 bytes make 9.
INSTANTIATE_TEST_SUITE_P(Modes, UpdateModes,
                         ::testing::Values(ModeCase{"Raw", "0", "uei-data=yes", 24 + 3 * 10 + 9, 0, ""},
                                           ModeCase{"UeiPooled", "1", "uei-data=yes,pooled=yes", 24, 3,
                                                    "NETWORK: Protocol Version: -2147483647 Error: 0"},
                                           ModeCase{"UeiUnpooled", "1", "uei-data=yes,pooled=no", 24, 3,
                                                    "NETWORK: Protocol Version: 1 Error: 0"},
                                           ModeCase{"UeiUnsupported", "1", "uei-data=no", 24 + 3 * 10 + 9, 0, ""}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST_F(Update, RetriesABlockWhoseSumTheModuleGotWrong)
{
    PRIVATE_NETWORK_OR_RERUN();
    // The first SUM checks the loader; the second the first firmware piece.
    StartModules({"--module", Module(), "--fault", "wrong-sum,after=1"});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "fw.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Transferring firmware block 1 of 2, 3004 bytes\n  Retry 1\n")) << result.out;
    EXPECT_TRUE(Contains(result.err, "NETWORK: Unable to validate transfer [00]")) << result.err;
    ExpectFlashed(image);
}

TEST_F(Update, ResendsDataWhoseAcknowledgedCountIsWrong)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module(), "--fault", "wrong-data-count,after=40"});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "fw.bird", "-m", "0", "-X", "0x400"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.err, "NETWORK: Invalid upgrade transfer response [25 != 26].")) << result.err;
    EXPECT_FALSE(Contains(result.out, "Retry")) << result.out;
    ExpectFlashed(image);
}

TEST_F(Update, RefusesAnImageMadeForAnotherModule)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    WriteImage(MakeImage({.serial = 0x11111111}), "other-serial.bird");
    WriteImage(MakeImage({.model = "HubC4"}), "other-model.bird");

    ProcessResult serial = Updater({"-U", "-d", SN, "-f", "other-serial.bird"});
    EXPECT_EQ(serial.exit_status, 1);
    EXPECT_TRUE(Contains(serial.err, "Birdfile failed validation")) << serial.err;

    ProcessResult model = Updater({"-U", "-d", SN, "-f", "other-model.bird"});
    EXPECT_EQ(model.exit_status, 1);
    EXPECT_TRUE(Contains(model.err,
                         "Connected device model and Bird file model do not match [MeterSerial] (0)\n"
                         "Birdfile failed validation"))
        << model.err;
    EXPECT_FALSE(Contains(serial.out + model.out, "Update time")) << serial.out << model.out;
    EXPECT_FALSE(FlashTouched());
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "");
}

TEST_F(Update, OverrideSkipsTheChecksButStillPersonalises)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    Image image = MakeImage({.model = "HubC4", .generic = true});
    WriteImage(image, "generic-other-model.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "generic-other-model.bird", "-OVERRIDE"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image, "flash", true);
}

TEST_F(Update, RefusesAnImageWithoutLoaderEvenWhenOverridden)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module()});
    BirdWriter writer;
    writer.AddFirmware(FIRMWARE_ADDRESS, Code(500, 1)).AddInfo(1200, "2.16.0", SERIAL, MODEL);
    ASSERT_TRUE(BirdWriter::WriteBytes(work / "no-loader.bird", writer.FileBytes()));

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "no-loader.bird", "-OVERRIDE"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_TRUE(Contains(result.err, "Birdfile failed validation")) << result.err;
    EXPECT_FALSE(FlashTouched());
}

// A loader whose first block did not arrive intact is never started, even
// when the blocks after it do.
TEST_F(Update, NeverStartsALoaderWithABlockMissing)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module(), "--fault", "wrong-sum"});
    Image image = MakeImage({});
    BirdWriter writer;
    writer.AddLoader(LOADER_ADDRESS, Code(300, 5)).AddLoader(LOADER_ADDRESS + 0x1000, Code(300, 6));
    writer.AddFirmware(FIRMWARE_ADDRESS, Code(500, 7)).AddInfo(1200, "2.16.0", SERIAL, MODEL);
    ASSERT_TRUE(BirdWriter::WriteBytes(work / "two-loader-blocks.bird", writer.FileBytes()));

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "two-loader-blocks.bird", "-X", "0x400"});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Transferred 1 blocks, 304 total bytes")) << result.out;
    EXPECT_FALSE(Contains(result.out, "Starting Load on Device")) << result.out;
    EXPECT_FALSE(Contains(result.err, "val_UPGRADE_LOAD")) << result.err;
    EXPECT_FALSE(Contains(result.out, "Update time")) << result.out;
}

// Behind a routing module: the module is found by scanning the router's bus,
// and the link (the router's) does not drop when the module reboots.
TEST_F(Update, ThroughARouterFindsTheModuleOnTheBus)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules(
        {"--module", "serial=0A0A0A0A,model=4,discovery=192.0.2.1", "--attach", Attached("address=4", "flash")});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-r", "0A0A0A0A", "-f", "fw.bird", "-X", "0x400"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image);
    EXPECT_EQ(Count(result.err, "Waiting for link to drop.\n"), 1u) << result.err;
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "fw.bird");
}

TEST_F(Update, ThroughARouterTheAddressFoundLastWins)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", "serial=0A0A0A0A,model=4,discovery=192.0.2.1", "--attach",
                  Attached("address=4", "flash-at-4"), "--attach", Attached("address=6", "flash-at-6")});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-r", "0A0A0A0A", "-f", "fw.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image, "flash-at-6");
    EXPECT_FALSE(FlashTouched("flash-at-4"));
}

// Faults on the way: the update fails cleanly (no "Update time", attributes
// as they were) and the module takes the same image on the next run.
struct FaultCase {
    const char* name;
    const char* module;  // extra module settings
    const char* fault;
    const char* ueiFlag;
    const char* error = "";  // what the failed run reports, if anything
};

void PrintTo(const FaultCase& fault, std::ostream* out)
{
    *out << fault.fault;
}

class UpdateFaults : public Update, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpdateFaults, FailCleanlyAndTheNextRunSucceeds)
{
    PRIVATE_NETWORK_OR_RERUN();
    const FaultCase& fault = GetParam();
    StartModules({"--module", Module(fault.module), "--fault", fault.fault});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult failed = Updater({"-U", "-d", SN, "-f", "fw.bird", "-m", fault.ueiFlag});
    EXPECT_EQ(failed.exit_status, 1) << failed.out << failed.err;
    EXPECT_FALSE(Contains(failed.out, "Update time")) << failed.out;
    EXPECT_TRUE(Contains(failed.err, fault.error)) << failed.err;
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "");

    ASSERT_TRUE(AwaitModule());
    ProcessResult next = Updater({"-U", "-d", SN, "-f", "fw.bird", "-m", fault.ueiFlag});
    EXPECT_EQ(next.exit_status, 0) << next.out << next.err;
    ExpectFlashed(image, "flash", false, false);
    EXPECT_EQ(Attribute(Settings(), "LATEST_TRANSFER"), "fw.bird");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateFaults,
    ::testing::Values(FaultCase{"DropDuringLoaderBlock", "drop-pause-ms=200", "drop-after-bytes=300", "0"},
                      FaultCase{"DropAtLoad", "drop-pause-ms=200", "drop-at=LOAD", "1"},
                      // Away longer than the attempts at a block last.
                      FaultCase{"DropDuringFirmwareBlock2", "drop-pause-ms=8000", "drop-at=WRITE,after=3", "1"},
                      FaultCase{"SilentModule", "", "silent=INIT", "1"},
                      FaultCase{"ErrorStatusOnEveryAttempt", "", "error-status=WRITE,times=5", "1"},
                      FaultCase{"NoRestartAfterReboot", "", "silent=REBOOT", "1",
                                "Device did not restart after the update\n"}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// A link that is back by the next attempt costs that block one retry.
TEST_F(Update, ShortDropDuringAFirmwareBlockIsRetried)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module("drop-pause-ms=200"), "--fault", "drop-at=WRITE,after=3"});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "fw.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "Transferring firmware block 2 of 2, 704 bytes\n  Retry 1\n")) << result.out;
    ExpectFlashed(image);
}

// A link that drops at REBOOT looks to the host like the reboot it asked for:
// the firmware is written and acknowledged, so the update counts.
TEST_F(Update, LinkDroppedAtRebootCountsAsTheReboot)
{
    PRIVATE_NETWORK_OR_RERUN();
    StartModules({"--module", Module("drop-pause-ms=200"), "--fault", "drop-at=REBOOT"});
    Image image = MakeImage({});
    WriteImage(image, "fw.bird");

    ProcessResult result = Updater({"-U", "-d", SN, "-f", "fw.bird"});
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    ExpectFlashed(image);
    ASSERT_TRUE(AwaitModule());
    ProcessResult again = Updater({"-U", "-d", SN, "-f", "fw.bird"});
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
}
