// "--json" end to end: the real binary prints exactly one JSON document on
// standard output for -D, -B and -L, every other line goes to standard error,
// and texts from modules, the server and the store survive any byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Usage.h"
#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/CodeBytes.h"
#include "support/PrivateNetwork.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/VmoduleProcess.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::ProcessResult;
using testsupport::TempDir;

const char* const SN = "40F5849A";

std::string VersionLine()
{
    return "Updater (" + _app_version_text() + ")\n";
}

std::vector<uint8_t> Image(uint32_t build, const std::string& version)
{
    BirdWriter writer;
    writer.AddFirmware(0x60000000, testsupport::Code(600, build)).AddInfo(build, version, 0x40F5849A, "HUB8");
    return writer.FileBytes();
}

// Standard output must be one JSON document and nothing else (parse refuses trailing text).
json Document(const ProcessResult& result)
{
    try {
        return json::parse(result.out);
    } catch (const json::exception& e) {
        ADD_FAILURE() << "not one JSON document: " << e.what() << "\n" << result.out;
        return nullptr;
    }
}

std::vector<std::string> Rows(const json& builds)
{
    std::vector<std::string> rows;
    for (const json& row : builds)
        rows.push_back(row.at("build").get<std::string>() + "=" + row.at("version").get<std::string>());
    return rows;
}

class JsonListings : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(firmware / SN);
        const std::pair<uint32_t, std::string> builds[] = {{115, "2.9.12"}, {116, "say\"hi\"\\x"}, {117, "3.0.1"}};
        for (const auto& [build, version] : builds)
            ASSERT_TRUE(BirdWriter::WriteBytes(firmware / (std::string(SN) + "/" + std::to_string(build) + ".bird"),
                                               Image(build, version)));
        ASSERT_TRUE(firmware.WriteFile("server.conf", "token 40F5849A abc.def.ghi\n"));
        Sim::UpdateServerOptions options;
        options.firmware_dir = firmware.path();
        server = std::make_unique<Sim::UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-i", store.path(), "-u", server->Url()});
        return testsupport::RunUpdater(args);
    }

    TempDir firmware, store;
    std::unique_ptr<Sim::UpdateServer> server;
};

TEST_F(JsonListings, BuildListsFromServerAndStore)
{
    // The server's list: newest first, quotes and backslashes kept.
    ProcessResult remote = Run({"-B", "-d", SN, "--json"});
    EXPECT_EQ(remote.exit_status, 0);
    EXPECT_EQ(remote.err, VersionLine()) << "the version line moves to standard error";
    json listed = Document(remote);
    EXPECT_EQ(listed["serial"], SN);
    EXPECT_EQ(Rows(listed["builds"]), (std::vector<std::string>{"117=3.0.1", "115=2.9.12", "116=say\"hi\"\\x"}));

    // Without --json the listing is the one it always was.
    ProcessResult plain = Run({"-B", "-d", SN});
    EXPECT_EQ(plain.exit_status, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(plain.out, VersionLine() +
                             "Build List for device [40F5849A]:\n\n"
                             "Build          \tVersion        \n"
                             "117            \t3.0.1          \n"
                             "115            \t2.9.12         \n"
                             "116            \tsay\"hi\"\\x      \n");

    // The store: a download, then images whose versions hold control characters and
    // bytes that are not UTF-8.
    // The download prints its history record.
    ProcessResult got = Run({"-G", "-d", SN, "-b", "115", "-l", "batch 7", "--json"});
    ASSERT_EQ(got.exit_status, 0) << got.err;
    json record = Document(got);
    EXPECT_EQ(record["command"], "download");
    EXPECT_EQ(record["result"], "ok");
    EXPECT_EQ(record["message"], "batch 7");
    EXPECT_EQ(record["to"], json({{"version", "2.9.12"}, {"build", 115}}));
    EXPECT_EQ(record["image"]["sha256"].get<std::string>().size(), 64u);
    const std::string device = store / (std::string("updater/") + SN);
    ASSERT_TRUE(BirdWriter::WriteBytes(device + "/300.bird", Image(300, "a\tb\x01\x1f\n\"\\")));
    ASSERT_TRUE(BirdWriter::WriteBytes(device + "/301.bird", Image(301,
                                                                   "v\xff"
                                                                   "1")));
    ProcessResult local = Run({"-L", "-d", SN, "--json"});
    EXPECT_EQ(local.exit_status, 0);
    EXPECT_EQ(local.err, VersionLine());
    EXPECT_EQ(Rows(Document(local)["builds"]), (std::vector<std::string>{"115=2.9.12", "300=a\tb\x01\x1f\n\"\\",
                                                                         "301=v\xef\xbf\xbd"
                                                                         "1"}));

    // -G before -B: its messages go to standard error too.
    ProcessResult both = Run({"-G", "-d", SN, "-B", "--json"});
    EXPECT_EQ(both.exit_status, 0);
    EXPECT_EQ(Document(both)["builds"].size(), 3u);
    EXPECT_TRUE(testsupport::HasLine(both.err, "Retrieving firmware for device with serial number 40F5849A"))
        << both.err;

    // Nothing stored for a device: an empty array.
    ProcessResult none = Run({"-L", "-d", "1234", "--json"});
    EXPECT_EQ(none.exit_status, 0);
    json empty = Document(none);
    EXPECT_EQ(empty["serial"], "00001234");
    EXPECT_TRUE(empty["builds"].is_array() && empty["builds"].empty()) << none.out;
}

TEST_F(JsonListings, FailuresPrintNoListingAndTokensADocument)
{
    ProcessResult missing = Run({"-B", "--json"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_TRUE(testsupport::HasLine(missing.err, "Error must supply a serial number for the List Builds command"))
        << missing.err;

    // The token as a document; none issued: null, and exit 1 as without --json.
    ProcessResult token = Run({"-J", "-d", SN, "--json"});
    EXPECT_EQ(token.exit_status, 0) << token.err;
    EXPECT_EQ(Document(token), json({{"serial", SN}, {"token", "abc.def.ghi"}}));
    ProcessResult no_token = Run({"-J", "-d", "1234", "--json"});
    EXPECT_EQ(no_token.exit_status, 1);
    EXPECT_EQ(Document(no_token), json({{"serial", "00001234"}, {"token", nullptr}}));

    // A document that cannot be written is a failure, not an empty listing.
    for (const char* command : {"-L", "-B"}) {
        ProcessResult full =
            testsupport::RunProcess({"sh", "-c", "exec \"$0\" \"$@\" >/dev/full", testsupport::UpdaterPath(), command,
                                     "-d", SN, "--json", "-i", store.path(), "-u", server->Url()});
        EXPECT_EQ(full.exit_status, 1) << command;
        EXPECT_TRUE(
            testsupport::HasLine(full.err, "Could not write the listing to standard output: No space left on device"))
            << full.err;
    }

    // Help prints the usage as always, all of it on standard error: no document to print.
    ProcessResult help = Run({"--json", "-D", "--he"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out, "");
    EXPECT_EQ(help.err.rfind(VersionLine(), 0), 0u) << help.err;
    EXPECT_TRUE(help.err.ends_with(_usage_text(false, true))) << help.err;
}

TEST(JsonDiscover, ModulesWithAwkwardNames)
{
    PRIVATE_NETWORK_OR_RERUN();
    testsupport::VmoduleProcess modules;
    ASSERT_TRUE(modules.Start({"--module",
                               "serial=40F5849A,discovery=192.0.2.1,model=17,build=1000,name=say \"hi\" C:\\lab\t\x01!",
                               "--module", "serial=0000BEEF,discovery=192.0.2.1,version=2.10.3,name=unused"}))
        << modules.Error();
    TempDir store;
    ProcessResult result = testsupport::RunProcess({testsupport::UpdaterPath(), "-i", store.path(), "-u",
                                                    "http://127.0.0.1:1/cgi/u", "-D", "-t", "TCPIP", "--json"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(testsupport::HasLine(result.err, "Searching for Tessarine devices")) << result.err;
    EXPECT_EQ(result.err.rfind(VersionLine(), 0), 0u) << result.err;

    json document = Document(result);
    EXPECT_EQ(document["transport"], "TCPIP");
    ASSERT_EQ(document["devices"].size(), 2u) << result.out;
    json named, old;
    for (const json& device : document["devices"])
        (device["serial"] == "40F5849A" ? named : old) = device;
    EXPECT_EQ(named["name"], "say \"hi\" C:\\lab\t\x01!");
    EXPECT_EQ(named["ip"], "192.0.2.1");
    EXPECT_EQ(named["transport"], "TCPIP");
    EXPECT_EQ(named["model"], "MeterSerial");
    EXPECT_EQ(named["model_number"], 17);
    EXPECT_EQ(named["version"], "2.15.0");
    EXPECT_EQ(named["build"], 1000);
    EXPECT_EQ(named["module"], 2);
    EXPECT_EQ(named["router"], 0);
    EXPECT_EQ(named["error"], 0);
    // Firmware before 2.10.4 keeps no name: an empty one, as in the listing.
    EXPECT_EQ(old["serial"], "0000BEEF");
    EXPECT_EQ(old["version"], "2.10.3");
    EXPECT_EQ(old["name"], "");
}

}  // namespace
