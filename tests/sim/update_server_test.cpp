#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <filesystem>

#include "firmware/BirdWriter.h"
#include "sim/UpdateServer.h"
#include "support/SelfSignedCertificate.h"
#include "support/TempDir.h"

namespace {

using Sim::ServerFault;
using Sim::UpdateServer;
using Sim::UpdateServerOptions;

std::vector<uint8_t> _image(uint32_t build, const std::string& version, size_t code_size = 300)
{
    std::vector<uint8_t> code(code_size);
    for (size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<uint8_t>(i * 7 + build);
    BirdWriter writer;
    writer.AddFirmware(0x60000000, code).AddInfo(build, version, 0x40F5849A, "HUB8");
    return writer.FileBytes();
}

std::string _decode(const std::string& text)
{
    std::string bytes(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return "(invalid)";
    size_t pad = 0;
    if (!text.empty() && text.back() == '=')
        pad = text[text.size() - 2] == '=' ? 2 : 1;
    bytes.resize(n - pad);
    return bytes;
}

std::vector<std::string> _lines(const std::string& body)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = body.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(body.substr(start, end - start));
    if (start < body.size())
        lines.push_back(body.substr(start));
    return lines;
}

class UpdateServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string device = dir / "40F5849A";
        std::filesystem::create_directories(device);
        images[114] = _image(114, "2.9.11");
        images[115] = _image(115, "2.9.12");
        images[116] = _image(116, "2.10.3");
        images[117] = _image(117, "1.99.0");
        for (const auto& [build, bytes] : images)
            ASSERT_TRUE(BirdWriter::WriteBytes(device + "/" + std::to_string(build) + ".bird", bytes));
        ASSERT_TRUE(dir.WriteFile("40F5849A/notes.txt", "not a build\n"));
        ASSERT_TRUE(dir.WriteFile("40F5849A/x12.bird", "not a build number\n"));
        std::filesystem::create_directories(dir / "0000002B");
        ASSERT_TRUE(dir.WriteFile("server.conf",
                                  "# test settings\n"
                                  "firmware 40F5849A rel-a   # quoted back\n"
                                  "token 40F5849A aa.bb.cc\n"
                                  "latest 0000002B 99\n"
                                  "hide 40F5849A 114\n"
                                  "recover 0000000A 1234ABCD 00000000 FFFFFFFF 40F5849A 116\n"));
    }

    void StartServer(std::vector<ServerFault> faults = {})
    {
        UpdateServerOptions options;
        options.firmware_dir = dir.path();
        options.faults = std::move(faults);
        server = std::make_unique<UpdateServer>(options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
        client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    }

    // GET /cgi/u?<query>; status -1 when the transfer failed.
    std::pair<int, std::string> Get(const std::string& query, const std::string& path = "/cgi/u")
    {
        auto result = client->Get((path + "?" + query).c_str());
        if (!result)
            return {-1, ""};
        return {result->status, result->body};
    }

    testsupport::TempDir dir;
    std::map<uint32_t, std::vector<uint8_t>> images;
    std::unique_ptr<UpdateServer> server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(UpdateServerTest, AnswersEveryOperationFromTheFirmwareDirectory)
{
    StartServer();
    EXPECT_EQ(Get("op=hi&rv=2&"), std::make_pair(200, std::string("ok update-server\n")));
    EXPECT_EQ(Get("op=builds&sn=40F5849A&").second, "ok\n115;2.9.12\n116;2.10.3\n117;1.99.0\n");
    EXPECT_EQ(Get("op=qu&sn=40F5849A&").second, "ok\n117\nrel-a\n");
    EXPECT_EQ(Get("op=qu&sn=0000002B&").second, "ok\n99\nstd\n");
    EXPECT_EQ(Get("op=ent_jwt&json=false&sn=40F5849A&").second, "ok\naa.bb.cc\n");
    EXPECT_EQ(Get("brief=true&fp=0000000A%201234ABCD%2000000000%20FFFFFFFF&op=fix&").second, "ok\n40F5849A\n116\n");

    const auto [status, body] = Get("bld=116&fw=rel-a&no_cal=false&op=bird&sn=40F5849A&");
    EXPECT_EQ(status, 200);
    const auto lines = _lines(body);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ok");
    EXPECT_EQ(_decode(lines[1]), std::string(images[116].begin(), images[116].end()));
    EXPECT_EQ(server->Requests().back(), "/cgi/u?bld=116&fw=rel-a&no_cal=false&op=bird&sn=40F5849A&");

    // A hidden build is served on request although the list leaves it out.
    const auto hidden = _lines(Get("bld=114&fw=rel-a&no_cal=false&op=bird&sn=40F5849A&").second);
    ASSERT_EQ(hidden.size(), 2u);
    EXPECT_EQ(_decode(hidden[1]), std::string(images[114].begin(), images[114].end()));
}

TEST_F(UpdateServerTest, RefusesWhatItDoesNotHave)
{
    StartServer();
    EXPECT_EQ(Get("op=builds&sn=11111111&").second, "error unknown device\n");
    EXPECT_EQ(Get("op=qu&sn=zz&").second, "error bad serial number\n");
    EXPECT_EQ(Get("op=ent_jwt&json=false&sn=0000002B&").second, "error no token\n");
    EXPECT_EQ(Get("bld=118&fw=x&no_cal=false&op=bird&sn=40F5849A&").second, "error no such build\n");
    EXPECT_EQ(Get("brief=true&fp=1%202%203%204&op=fix&").second, "error unknown fingerprint\n");
    EXPECT_EQ(Get("op=nope&").first, 400);
    EXPECT_EQ(Get("op=hi&", "/elsewhere").first, 404);
}

TEST_F(UpdateServerTest, SeesBuildsAddedWhileRunning)
{
    StartServer();
    images[200] = _image(200, "3.0.0");
    ASSERT_TRUE(BirdWriter::WriteBytes(dir / "40F5849A/200.bird", images[200]));
    EXPECT_EQ(Get("op=qu&sn=40F5849A&").second, "ok\n200\nrel-a\n");
    EXPECT_EQ(Get("op=builds&sn=40F5849A&").second, "ok\n115;2.9.12\n116;2.10.3\n117;1.99.0\n200;3.0.0\n");

    // A replaced image shows its new version.
    ASSERT_TRUE(BirdWriter::WriteBytes(dir / "40F5849A/200.bird", _image(200, "3.0.1", 500)));
    EXPECT_EQ(Get("op=builds&sn=40F5849A&").second, "ok\n115;2.9.12\n116;2.10.3\n117;1.99.0\n200;3.0.1\n");
}

TEST_F(UpdateServerTest, FaultsApplyToTheirOperationOnly)
{
    ServerFault status, no_ok;
    std::string error;
    ASSERT_TRUE(ServerFault::Parse("status=503@qu", status, error));
    ASSERT_TRUE(ServerFault::Parse("no-ok@builds", no_ok, error));
    StartServer({status, no_ok});
    EXPECT_EQ(Get("op=qu&sn=40F5849A&"), std::make_pair(503, std::string("ok\n117\nrel-a\n")));
    EXPECT_EQ(Get("op=builds&sn=40F5849A&").second, "115;2.9.12\n116;2.10.3\n117;1.99.0\n");
    EXPECT_EQ(Get("op=hi&rv=2&").first, 200);
}

TEST_F(UpdateServerTest, ImageFaultsSpoilTheImageLine)
{
    StartServer();
    const std::string whole(images[115].begin(), images[115].end());
    const std::string query = "bld=115&fw=rel-a&no_cal=false&op=bird&sn=40F5849A&";
    ServerFault fault;
    std::string error;

    ASSERT_TRUE(ServerFault::Parse("bad-base64", fault, error));
    server->SetFaults({fault});
    std::string line = _lines(Get(query).second).at(1);
    EXPECT_EQ(line.size() % 4, 0u);
    EXPECT_NE(line.find_first_of("*!?%"), std::string::npos);

    ASSERT_TRUE(ServerFault::Parse("bad-bird@bird", fault, error));
    server->SetFaults({fault});
    std::string bytes = _decode(_lines(Get(query).second).at(1));
    EXPECT_EQ(bytes.substr(0, 4), "BIRD");
    EXPECT_EQ(bytes.substr(4), whole.substr(4));

    ASSERT_TRUE(ServerFault::Parse("broken-bird", fault, error));
    server->SetFaults({fault});
    bytes = _decode(_lines(Get(query).second).at(1));
    EXPECT_LT(bytes.size(), whole.size());
    EXPECT_EQ(bytes, whole.substr(0, bytes.size()));
}

TEST_F(UpdateServerTest, CutReplyEndsTheTransferEarly)
{
    ServerFault cut;
    std::string error;
    ASSERT_TRUE(ServerFault::Parse("cut@builds", cut, error));
    StartServer({cut});
    EXPECT_EQ(Get("op=builds&sn=40F5849A&").first, -1);
    EXPECT_EQ(Get("op=qu&sn=40F5849A&").second, "ok\n117\nrel-a\n");
}

TEST_F(UpdateServerTest, SlowReplyStillArrives)
{
    ServerFault slow;
    std::string error;
    ASSERT_TRUE(ServerFault::Parse("slow=200", slow, error));
    EXPECT_EQ(slow.kind, ServerFault::Slow);
    EXPECT_EQ(slow.value, 200);
    StartServer({slow});
    EXPECT_EQ(Get("op=hi&rv=2&").second, "ok update-server\n");
}

TEST(ServerFault, ParseRejectsNonsense)
{
    ServerFault fault;
    std::string error;
    for (const char* text : {"status", "status=abc", "slow", "cut=3", "no-ok@nope", "boom", "status=500@"}) {
        error.clear();
        EXPECT_FALSE(ServerFault::Parse(text, fault, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(UpdateServerConfig, BadConfigurationLineStopsTheStart)
{
    testsupport::TempDir dir;
    ASSERT_TRUE(dir.WriteFile("server.conf", "latest 40F5849A many\n"));
    UpdateServerOptions options;
    options.firmware_dir = dir.path();
    UpdateServer server(options);
    std::string error;
    EXPECT_FALSE(server.Start(error));
    EXPECT_NE(error.find("server.conf:1"), std::string::npos) << error;
}

TEST(UpdateServerTls, ServesHttpsWithTheGivenCertificate)
{
    testsupport::TempDir dir;
    SelfSignedCertificate cert;
    ASSERT_TRUE(MakeSelfSignedCertificate(dir.path(), "server", "127.0.0.1", cert));
    UpdateServerOptions options;
    options.firmware_dir = dir.path();
    options.cert = cert.cert;
    options.key = cert.key;
    UpdateServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    EXPECT_EQ(server.Url(), "https://127.0.0.1:" + std::to_string(server.Port()) + "/cgi/u");
    httplib::SSLClient client("127.0.0.1", server.Port());
    client.enable_server_certificate_verification(false);
    auto result = client.Get("/cgi/u?op=hi&rv=2&");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->body, "ok update-server\n");
}

}  // namespace
