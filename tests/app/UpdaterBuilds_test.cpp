// Updater's build-list, download, token and BIRD-file operations against the project's
// update server on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/Updater.h"
#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace {

using testsupport::RecordingDisplay;
using testsupport::Code;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr uint32_t SERIAL = 0x40F5849A;

std::vector<uint8_t> _image(uint32_t build, const std::string& version)
{
    BirdWriter writer;
    writer.AddFirmware(0x60000000, Code(500, build)).AddInfo(build, version, SERIAL, "HUB8");
    return writer.FileBytes();
}

bool _contains(const std::vector<std::string>& texts, const std::string& text)
{
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class UpdaterBuildsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(firmware / "40F5849A");
        for (auto [build, version] :
             {std::pair<uint32_t, const char*>{115, "2.9.12"}, {117, "2.10.3"}, {118, "3.0.0"}}) {
            images[build] = _image(build, version);
            ASSERT_TRUE(
                BirdWriter::WriteBytes(firmware / ("40F5849A/" + std::to_string(build) + ".bird"), images[build]));
        }
        ASSERT_TRUE(firmware.WriteFile("server.conf", "token 40F5849A ab.cd.ef\nhide 40F5849A 118\n"));
        Start();
    }

    void Start(std::vector<Sim::ServerFault> faults = {})
    {
        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        options.faults = std::move(faults);
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
        updater = std::make_unique<Updater>(server->Url(), store.path(), display);
    }

    Sim::ServerFault Fault(const char* text)
    {
        Sim::ServerFault fault;
        std::string error;
        EXPECT_TRUE(Sim::ServerFault::Parse(text, fault, error)) << error;
        return fault;
    }

    std::string Device() const { return store / "40F5849A"; }
    std::string Bytes(uint32_t build) { return std::string(images[build].begin(), images[build].end()); }

    TempDir firmware, store;
    std::map<uint32_t, std::vector<uint8_t>> images;
    RecordingDisplay display;
    std::unique_ptr<Sim::UpdateServer> server;
    std::unique_ptr<Updater> updater;
};

TEST_F(UpdaterBuildsTest, BuildNumberMustBeDecimalBeforeAnythingIsAsked)
{
    EXPECT_EQ(updater->Download_Firmware(SERIAL, "abc", false, false), 0u);
    EXPECT_EQ(display.Errors(), std::vector<std::string>{"Build number 'abc' must be an number"});
    EXPECT_EQ(updater->Download_Firmware(0, "", false, false), 0u);
    EXPECT_TRUE(_contains(display.Errors(), "Serial Number must be non-zero"));
    EXPECT_TRUE(server->Requests().empty());
}

TEST_F(UpdaterBuildsTest, DownloadsTheLatestBuildWithSpinnerAndRecordsIt)
{
    EXPECT_EQ(updater->Download_Firmware(SERIAL, "", false, false), 117u);
    EXPECT_EQ(ReadFile(Device() + "/117.bird"), Bytes(117));
    EXPECT_EQ(display.Infos(), (std::vector<std::string>{"Retrieving build 117", "Validating build 117 with server",
                                                         "Build 117 is valid"}));
    EXPECT_TRUE(display.Errors().empty());
    ASSERT_GE(display.spinner_calls.size(), 2u);
    EXPECT_TRUE(display.spinner_calls.front());
    EXPECT_FALSE(display.spinner_calls.back());
    const std::string settings = ReadFile(Device() + "/.settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=117.bird\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;
    const auto requests = server->Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], "/cgi/u?op=hi&rv=2&");
    EXPECT_EQ(requests[1], "/cgi/u?op=qu&sn=40F5849A&");
    EXPECT_EQ(requests[2], "/cgi/u?op=builds&sn=40F5849A&");
    EXPECT_EQ(requests[3], "/cgi/u?bld=117&fw=std&no_cal=false&op=bird&sn=40F5849A&");
}

TEST_F(UpdaterBuildsTest, UnlistedBuildNeedsOverride)
{
    EXPECT_EQ(updater->Download_Firmware(SERIAL, "118", false, false), 0u);
    EXPECT_EQ(display.Errors(), std::vector<std::string>{"No valid build 118"});
    EXPECT_FALSE(std::filesystem::exists(Device()));

    display.messages.clear();
    const size_t before = server->Requests().size();
    EXPECT_EQ(updater->Download_Firmware(SERIAL, "118", true, false), 118u);
    EXPECT_TRUE(_contains(display.Infos(), "Override specified, skipping validation of build 118"));
    EXPECT_EQ(ReadFile(Device() + "/118.bird"), Bytes(118));
    for (size_t i = before; i < server->Requests().size(); ++i)
        EXPECT_EQ(server->Requests()[i].find("op=builds"), std::string::npos);
}

TEST_F(UpdaterBuildsTest, SpoiledImagesAreFailedDownloadsThatWriteNothing)
{
    for (const char* fault : {"bad-base64", "bad-bird", "broken-bird", "cut@bird", "status=500@bird", "no-ok@bird"}) {
        Start({Fault(fault)});
        display.messages.clear();
        EXPECT_EQ(updater->Download_Firmware(SERIAL, "115", false, false), 0u) << fault;
        EXPECT_TRUE(_contains(display.Errors(), "Failed to retrieve a valid BIRD file")) << fault;
        EXPECT_FALSE(std::filesystem::exists(Device())) << fault;
    }
    // Nor does one change a device directory that is there already.
    Start({});
    ASSERT_EQ(updater->Download_Firmware(SERIAL, "117", false, false), 117u);
    const std::string settings = ReadFile(Device() + "/.settings");
    for (const char* fault : {"bad-bird", "broken-bird"}) {
        Start({Fault(fault)});
        EXPECT_EQ(updater->Download_Firmware(SERIAL, "115", false, false), 0u) << fault;
        EXPECT_EQ(ReadFile(Device() + "/.settings"), settings) << fault;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Device()), {}), 2) << fault;
    }
}

TEST_F(UpdaterBuildsTest, FailedWriteLeavesAttributesAlone)
{
    ASSERT_EQ(updater->Download_Firmware(SERIAL, "115", false, false), 115u);
    const std::string settings = ReadFile(Device() + "/.settings");
    std::filesystem::create_directory(Device() + "/117.bird");  // the name is taken by a directory
    display.messages.clear();
    EXPECT_EQ(updater->Download_Firmware(SERIAL, "117", false, false), 0u);
    ASSERT_EQ(display.Errors().size(), 1u);
    EXPECT_EQ(display.Errors()[0].rfind("Failed to write file with ", 0), 0u) << display.Errors()[0];
    EXPECT_EQ(ReadFile(Device() + "/.settings"), settings);
}

TEST_F(UpdaterBuildsTest, ServerListAndToken)
{
    const BuildMap builds = updater->Get_BuildList(SERIAL);
    EXPECT_EQ(builds, (BuildMap{{"115", "2.9.12"}, {"117", "2.10.3"}}));
    EXPECT_EQ(updater->Get_JWT(SERIAL), "ab.cd.ef");
    EXPECT_EQ(updater->Get_JWT(0x1234), "");
    EXPECT_EQ(display.Errors(), std::vector<std::string>{"Failed to retrieve jwt for 00001234"});
}

TEST_F(UpdaterBuildsTest, UnreachableServerIsReportedAndTouchesNothing)
{
    Updater offline("http://127.0.0.1:1/cgi/u", store.path(), display);
    EXPECT_TRUE(offline.Get_BuildList(SERIAL).empty());
    EXPECT_EQ(offline.Get_JWT(SERIAL), "");
    EXPECT_EQ(offline.Download_Firmware(SERIAL, "", false, false), 0u);
    const std::string message = "Server request failed for http://127.0.0.1:1/cgi/u";
    EXPECT_EQ(display.Errors(), (std::vector<std::string>{message, message, message}));
    EXPECT_TRUE(std::filesystem::is_empty(store.path()));
}

TEST_F(UpdaterBuildsTest, LocalListTakesVersionsFromStoredFiles)
{
    std::filesystem::create_directories(Device());
    ASSERT_TRUE(BirdWriter::WriteBytes(Device() + "/1234.bird.bak", _image(1234, "2.1.0")));
    ASSERT_TRUE(store.WriteFile("40F5849A/notes.txt", "hello\n"));
    ASSERT_TRUE(store.WriteFile("40F5849A/12.bird", "bird\x01\x01 but no zlib stream"));
    ASSERT_TRUE(store.WriteFile("40F5849A/.hidden", "x"));
    const BuildMap local = updater->Get_BuildListLocal(SERIAL);
    EXPECT_EQ(local, (BuildMap{{"1234", "2.1.0"}, {"12", ""}, {"notes.txt", ""}}));
    EXPECT_TRUE(updater->Get_BuildListLocal(0x11111111).empty());
}

TEST_F(UpdaterBuildsTest, LoadBirdReadsStoredOrGivenFileAndDownloadsOnlyWhenAsked)
{
    EXPECT_THROW(updater->load_bird("Updating", "", SERIAL, 115, false), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(Device() + "/115.bird"));

    BirdFile loaded = updater->load_bird("Recovering", "", SERIAL, 115, true);
    EXPECT_EQ(loaded.GetBuild(), 115u);
    EXPECT_TRUE(_contains(display.Infos(), "Recovering firmware with build: 115"));
    EXPECT_TRUE(_contains(display.Infos(), "Downloading firmware build 115"));
    EXPECT_EQ(ReadFile(Device() + "/115.bird"), Bytes(115));

    const std::string given = firmware / "40F5849A/117.bird";
    EXPECT_EQ(updater->load_bird("Updating", given, SERIAL, 0, false).GetVersion(), "2.10.3");
    EXPECT_TRUE(_contains(display.Infos(), "Updating from Birdfile: " + given));
    EXPECT_THROW(updater->load_bird("Updating", store / "missing.bird", SERIAL, 0, false), std::runtime_error);
}

TEST_F(UpdaterBuildsTest, StoreThatCannotBeOpenedIsReported)
{
    ASSERT_TRUE(store.WriteFile("file", "x"));
    Updater blocked(server->Url(), store / "file", display);
    EXPECT_TRUE(blocked.Get_BuildListLocal(SERIAL).empty());
    ASSERT_EQ(display.Errors().size(), 1u);
    EXPECT_EQ(display.Errors()[0].rfind(
                  "Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: UpdaterStore: ", 0),
              0u)
        << display.Errors()[0];
}

}  // namespace
