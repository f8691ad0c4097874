// The agent's pieces on their own: the artifact download with its resume and
// checks (against a small local server), the pacing of requests, the command
// line and token file, and the details an action reports.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <atomic>
#include <filesystem>

#include "agent/ActionDisplay.h"
#include "agent/AgentOptions.h"
#include "agent/ArtifactFetch.h"
#include "server/LocalHttpServer.h"
#include "support/TempDir.h"

namespace {

std::string Sha256(const std::string& bytes)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    char hex[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// Serves one artifact: whole, from a Range, cut after half its bytes once, or not at all.
struct Artifact {
    std::string bytes = std::string(40000, 'a') + std::string(40000, 'b');
    bool cutOnce = false;
    int status = 200;
    std::vector<std::string> ranges;
    std::vector<std::string> tokens;

    void Serve(const httplib::Request& request, httplib::Response& response)
    {
        ranges.push_back(request.get_header_value("Range"));
        tokens.push_back(request.get_header_value("Authorization"));
        if (status != 200) {
            response.status = status;
            return;
        }
        if (cutOnce) {
            cutOnce = false;
            // The announced length is never reached: the client sees the transfer cut.
            const std::string half = bytes.substr(0, bytes.size() / 2);
            response.set_content_provider(bytes.size(), "application/octet-stream",
                                          [half](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset < half.size())
                                                  sink.write(half.data() + offset, half.size() - offset);
                                              return offset < half.size();
                                          });
            return;
        }
        response.set_content(bytes, "application/octet-stream");  // httplib answers a Range with 206
    }
};

TEST(ArtifactFetch, DownloadsResumesAndChecks)
{
    const struct {
        const char* name;
        bool cut;
        bool wrongHash;
        int status;
        FetchResult::Kind kind;
        std::vector<std::string> ranges;
    } cases[] = {
        {"whole", false, false, 200, FetchResult::Kind::Done, {""}},
        {"cut, resumed", true, false, 200, FetchResult::Kind::Done, {"", "bytes=40000-"}},
        {"wrong hash", false, true, 200, FetchResult::Kind::Mismatch, {""}},
        {"gone", false, false, 410, FetchResult::Kind::Gone, {""}},
        {"server error", false, false, 500, FetchResult::Kind::Failed, {"", "", ""}},
    };
    for (const auto& c : cases) {
        Artifact artifact;
        artifact.cutOnce = c.cut;
        artifact.status = c.status;
        LocalHttpServer server;
        server.Handle([&](const httplib::Request& q, httplib::Response& r) { artifact.Serve(q, r); });
        ASSERT_TRUE(server.Start());
        const std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
        RequestPacer pacer(1000, 1000);
        DdiClient client({url, "DEFAULT", "s3cret"}, pacer);
        std::atomic<bool> stop{false};
        testsupport::TempDir dir;
        const std::string partial = dir.path() + "/a.part";
        DdiArtifact wanted{"a.bird",
                           artifact.bytes.size(),
                           c.wrongHash ? std::string(64, '0') : Sha256(artifact.bytes),
                           "",
                           url + "/DEFAULT/controller/v1/0A/softwaremodules/1/artifacts/a.bird",
                           ""};
        const FetchResult result = ArtifactFetch(client, stop).Fetch(wanted, partial);
        EXPECT_EQ(result.kind, c.kind) << c.name << ": " << result.reason;
        EXPECT_EQ(artifact.ranges, c.ranges) << c.name;
        EXPECT_EQ(artifact.tokens[0], "GatewayToken s3cret") << c.name;
        // Only the artifact's own bytes are kept: never an error page, never a wrong file.
        const uintmax_t kept = std::filesystem::exists(partial) ? std::filesystem::file_size(partial) : 0;
        EXPECT_EQ(kept, c.kind == FetchResult::Kind::Done ? artifact.bytes.size() : 0) << c.name;
        if (c.wrongHash) {
            EXPECT_NE(result.reason.find("checksum mismatch"), std::string::npos);
        }
    }
}

TEST(ArtifactFetch, NoTokenToAnotherPlace)
{
    RequestPacer pacer(1000, 1000);
    DdiClient client({"https://hb.example/", "DEFAULT", "s3cret"}, pacer);
    EXPECT_TRUE(client.OwnPlace("https://HB.example/DEFAULT/controller/v1/0A/softwaremodules/1/artifacts/a.bird"));
    EXPECT_FALSE(client.OwnPlace("https://cdn.example/a.bird"));
    EXPECT_FALSE(client.OwnPlace("http://hb.example/a.bird"));
    EXPECT_EQ(client.Base("0A"), "https://hb.example/DEFAULT/controller/v1/0A");
}

TEST(RequestPacer, SpacesEachKindOfRequest)
{
    RequestPacer pacer(200, 50);
    const auto now = RequestPacer::Clock::now();
    RequestPacer::Clock::time_point lastWrite, lastRead;
    for (int i = 0; i < 51; ++i) {
        lastWrite = pacer.TakeWrite(now);
        lastRead = pacer.TakeRead(now);
    }
    EXPECT_EQ(lastWrite - now, std::chrono::seconds(1));  // the 51st write a second after the first
    EXPECT_EQ(lastRead - now, std::chrono::milliseconds(250));
    EXPECT_EQ(pacer.TakeWrite(now + std::chrono::seconds(5)), now + std::chrono::seconds(5));  // idle: at once
}

TEST(AgentOptions, CommandLinesAndTokenFiles)
{
    testsupport::TempDir dir;
    const std::string token = dir.path() + "/token";
    const struct {
        std::vector<const char*> args;
        const char* tokenText;  // null: no file
        const char* error;      // empty: accepted
    } cases[] = {
        {{"--server", "http://127.0.0.1:1", "--tenant", "T", "--gateway-token-file", "F", "--once", "--jobs", "4"},
         "abc\n",
         ""},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token", "abc"},
         nullptr,
         "never given on the command line"},
        {{"--server", "ftp://h", "--tenant", "T", "--gateway-token-file", "F"}, nullptr, "http:// or https://"},
        {{"--server", "http://h", "--gateway-token-file", "F"}, nullptr, "are required"},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token-file", "F", "--poll", "0"}, nullptr, "--poll"},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token-file", "F", "-t", "RECOVER"}, nullptr, "-t needs"},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token-file", "F"}, nullptr, "cannot read"},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token-file", "F"}, " \n", "is empty"},
        {{"--server", "http://h", "--tenant", "T", "--gateway-token-file", "F"}, "ab cd", "spaces or control"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(token);
        if (c.tokenText)
            dir.Write("token", c.tokenText);
        std::vector<const char*> argv = {"updater-agent"};
        for (const char* arg : c.args)
            argv.push_back(std::string(arg) == "F" ? token.c_str() : arg);
        AgentOptions options;
        const bool ok = options.Parse(static_cast<int>(argv.size()), argv.data()) && options.ReadToken();
        EXPECT_EQ(ok, *c.error == '\0') << c.error << ": " << options.Error();
        EXPECT_NE(options.Error().find(c.error), std::string::npos) << options.Error();
        if (ok) {
            EXPECT_EQ(options.token, "abc");
            EXPECT_TRUE(options.once);
            EXPECT_EQ(options.jobs, 4u);
        }
    }
}

TEST(ActionDisplay, DetailsKeepTheErrors)
{
    ActionDisplay display("0A action 1");
    display.info_message("connect");
    display.error_message("Failed to connect to module [0000000A]");
    for (int i = 0; i < 5; ++i)
        display.info_message(("block " + std::to_string(i) + "\nsecond line").c_str());
    const std::vector<std::string> details = display.Details(4);
    EXPECT_EQ(details, (std::vector<std::string>{"Failed to connect to module [0000000A]", "second line", "block 4",
                                                 "second line"}));
    EXPECT_EQ(display.Errors(), "Failed to connect to module [0000000A]");
}

}  // namespace
