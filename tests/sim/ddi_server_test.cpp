#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include "sim/DdiServer.h"
#include "support/TempDir.h"

namespace {

using nlohmann::json;
using Sim::DdiServer;
using Sim::DdiServerOptions;

const char* const TOKEN = "GatewayToken sekret";

// A server with one artifact of 1000 bytes and the given deployments.
struct Rollout {
    explicit Rollout(std::vector<std::string> script, const std::vector<std::string>& faults = {})
    {
        std::string bytes(1000, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 31 + 7);
        artifact = bytes;
        dir.Write("app.bird", bytes);
        DdiServerOptions options;
        options.artifacts_dir = dir.path();
        options.gateway_token = "sekret";
        options.script = std::move(script);
        for (const std::string& text : faults) {
            Sim::DdiFault fault;
            std::string error;
            EXPECT_TRUE(Sim::DdiFault::Parse(text, fault, error)) << error;
            options.faults.push_back(fault);
        }
        server = std::make_unique<DdiServer>(options);
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
        client = std::make_unique<httplib::Client>(server->Url());
    }

    static std::string Path(const std::string& rest) { return "/default/controller/v1/M1" + rest; }

    int Get(const std::string& rest, std::string* body = nullptr, const std::string& range = "")
    {
        httplib::Headers headers{{"Authorization", TOKEN}};
        if (!range.empty())
            headers.emplace("Range", range);
        // Bytes are taken as they come, so a transfer cut short keeps what arrived.
        std::string received;
        auto result = client->Get(Path(rest), headers, [&](const char* data, size_t length) {
            received.append(data, length);
            return true;
        });
        if (body)
            *body = received;
        return result ? result->status : 0;
    }

    int Feedback(const std::string& channel, const std::string& execution, const std::string& finished)
    {
        const json body = {{"status", {{"execution", execution}, {"result", {{"finished", finished}}}}}};
        auto result = client->Post(Path("/" + channel + "/1/feedback"), {{"Authorization", TOKEN}}, body.dump(),
                                   "application/json");
        return result ? result->status : 0;
    }

    testsupport::TempDir dir;
    std::string artifact;
    std::unique_ptr<DdiServer> server;
    std::unique_ptr<httplib::Client> client;
};

struct StatusCase {
    const char* name;
    const char* deploy;                                                        // options after "deploy M1 app.bird"
    std::vector<std::tuple<const char*, const char*, const char*, int>> sent;  // channel, execution, finished, answer
    const char* state;
    const char* result;
};

class DdiStatuses : public ::testing::TestWithParam<StatusCase> {};

// The feedback a target sends moves its action as a rollout server does: closed
// ends it, downloaded ends a download-only action, a cancellation is confirmed
// with closed and refused with rejected; feedback after the end is gone (410),
// cancel feedback without a cancellation not allowed (405).
TEST_P(DdiStatuses, FeedbackMovesTheAction)
{
    const StatusCase& c = GetParam();
    Rollout rollout({std::string("deploy M1 app.bird ") + c.deploy});
    ASSERT_EQ(rollout.Get(""), 200);
    for (const auto& [channel, execution, finished, answer] : c.sent)
        EXPECT_EQ(rollout.Feedback(channel, execution, finished), answer) << channel << " " << execution;
    const Sim::DdiAction action = rollout.server->Book().Actions().at(0);
    EXPECT_STREQ(Sim::DdiStateName(action.state), c.state);
    EXPECT_EQ(action.result, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DdiStatuses,
    ::testing::Values(
        StatusCase{"success",
                   "",
                   {{"deploymentBase", "proceeding", "none", 200},
                    {"deploymentBase", "closed", "success", 200},
                    {"deploymentBase", "closed", "success", 410}},
                   "closed",
                   "success"},
        StatusCase{"failure", "", {{"deploymentBase", "closed", "failure", 200}}, "closed", "failure"},
        StatusCase{
            "downloadOnly", "update=skip", {{"deploymentBase", "downloaded", "none", 200}}, "closed", "downloaded"},
        StatusCase{"downloadedStaysOpen", "", {{"deploymentBase", "downloaded", "none", 200}}, "open", "none"},
        StatusCase{"cancelConfirmed",
                   "cancel",
                   {{"cancelAction", "canceled", "none", 200}, {"cancelAction", "closed", "success", 200}},
                   "closed",
                   "canceled"},
        StatusCase{"cancelRejected", "cancel", {{"cancelAction", "rejected", "none", 200}}, "open", "none"},
        StatusCase{"noCancellation", "", {{"cancelAction", "closed", "success", 405}}, "open", "none"}),
    [](const auto& info) { return std::string(info.param.name); });

// What a target sees: the token is checked, the poll offers the deployment (or
// the cancellation), a maintenance window holds the update back until it opens,
// and the answers to malformed requests.
TEST(DdiServer, PollsDeploymentsAndRefusals)
{
    Rollout rollout({"deploy M1 app.bird window=unavailable version=7.12", "deploy M2 app.bird cancel"});
    auto anonymous = rollout.client->Get(Rollout::Path(""));
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);

    std::string body;
    ASSERT_EQ(rollout.Get("", &body), 200);
    json poll = json::parse(body);
    EXPECT_TRUE(poll["_links"].contains("configData"));
    const std::string href = poll["_links"]["deploymentBase"]["href"];
    EXPECT_NE(href.find("/deploymentBase/1?c=0"), std::string::npos) << href;
    ASSERT_EQ(rollout.Get("/deploymentBase/1", &body), 200);
    json deployment = json::parse(body)["deployment"];
    EXPECT_EQ(deployment["update"], "skip");
    EXPECT_EQ(deployment["maintenanceWindow"], "unavailable");
    EXPECT_EQ(deployment["chunks"][0]["version"], "7.12");
    EXPECT_EQ(deployment["chunks"][0]["artifacts"][0]["size"], 1000);

    ASSERT_TRUE(rollout.server->Book().OpenWindow(1));
    ASSERT_EQ(rollout.Get("", &body), 200);
    EXPECT_NE(json::parse(body)["_links"]["deploymentBase"]["href"].get<std::string>().find("?c=1"), std::string::npos);
    ASSERT_EQ(rollout.Get("/deploymentBase/1", &body), 200);
    EXPECT_EQ(json::parse(body)["deployment"]["update"], "forced");

    // M2's action is being cancelled: the poll links the cancellation, the
    // deployment and its artifact are gone meanwhile.
    auto other = rollout.client->Get("/DEFAULT/controller/v1/M2", {{"Authorization", TOKEN}});
    ASSERT_TRUE(other);
    EXPECT_TRUE(json::parse(other->body)["_links"].contains("cancelAction"));
    EXPECT_EQ(rollout.client->Get("/DEFAULT/controller/v1/M2/deploymentBase/2", {{"Authorization", TOKEN}})->status,
              404);

    const json bad_status = {{"status", {{"execution", "CLOSED"}, {"result", {{"finished", "success"}}}}}};
    auto post = [&](const std::string& text, const char* type) {
        return rollout.client->Post(Rollout::Path("/deploymentBase/1/feedback"), {{"Authorization", TOKEN}}, text, type)
            ->status;
    };
    EXPECT_EQ(post(bad_status.dump(), "application/json"), 400);
    EXPECT_EQ(post("{", "application/json"), 400);
    EXPECT_EQ(post(bad_status.dump(), "application/hal+json"), 415);
    auto put = rollout.client->Put(Rollout::Path("/configData"), {{"Authorization", TOKEN}},
                                   R"({"data":{"model":"HUB8","bad\u0001":"x"}})", "application/json");
    EXPECT_EQ(put->status, 400);
}

// Downloads: a cut transfer resumes with a range to the same bytes, a range
// outside the artifact is refused, and injected status faults answer as many
// requests as they were given.
TEST(DdiServer, DownloadsRangesAndFaults)
{
    Rollout rollout({"deploy M1 app.bird", "deploy M1 app.bird sha256=wrong"}, {"cut@download", "status=500@pollx1"});
    EXPECT_EQ(rollout.Get(""), 500);
    EXPECT_EQ(rollout.Get(""), 200);
    const std::string artifact = "/softwaremodules/101/artifacts/app.bird";
    std::string first, rest, whole;
    EXPECT_EQ(rollout.Get(artifact, &first), 0);  // cut short
    EXPECT_EQ(first.size(), 500U);
    EXPECT_EQ(rollout.Get(artifact, &rest, "bytes=500-"), 206);
    EXPECT_EQ(first + rest, rollout.artifact);
    EXPECT_EQ(rollout.Get(artifact, &whole), 200);
    EXPECT_EQ(whole, rollout.artifact);
    EXPECT_EQ(rollout.Get(artifact, nullptr, "bytes=1000-"), 416);
    EXPECT_EQ(rollout.Get("/softwaremodules/101/artifacts/other.bird"), 404);

    const std::vector<Sim::DdiAction> actions = rollout.server->Book().Actions();
    EXPECT_EQ(actions[0].artifact.sha256.size(), 64U);
    EXPECT_NE(actions[0].artifact.sha256, actions[1].artifact.sha256);

    const json record = rollout.server->Record();
    std::vector<std::string> downloads;
    for (const json& entry : record)
        if (entry["kind"] == "download")
            downloads.push_back(entry["range"].get<std::string>() + (entry.value("cut", false) ? " cut" : "") + " " +
                                std::to_string(entry["status"].get<int>()));
    EXPECT_EQ(downloads, (std::vector<std::string>{" cut 200", "bytes=500- 206", " 200", "bytes=1000- 416", " 404"}));
}

}  // namespace
