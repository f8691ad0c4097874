// The DDI JSON the agent reads and writes: intervals, the poll's links, the
// deployment and its choice of artifact, feedback and attributes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "agent/DdiMessages.h"

namespace {

using json = nlohmann::json;

TEST(DdiMessages, PollingIntervals)
{
    const struct {
        const char* text;
        std::optional<uint32_t> seconds;
    } cases[] = {
        {"00:05:00", 300}, {"23:59:59", 86399}, {"00:00:30", 30}, {"PT36H", 129600}, {"P1DT2H", 93600},
        {"PT1H30M", 5400}, {"PT45.5S", 46},     {"PT5M", 300},    {"5 minutes", {}}, {"00:61:00", {}},
        {"PT", {}},        {"P1H", {}},         {"", {}},         {"00:05", {}},     {"PT-5S", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(_ddi_seconds(c.text), c.seconds) << c.text;
}

TEST(DdiMessages, PollLinksAndActionIds)
{
    DdiPoll poll;
    std::string error;
    ASSERT_TRUE(_ddi_parse_poll(R"({"config":{"polling":{"sleep":"PT36H"}},"_links":{
        "cancelAction":{"href":"http://h/DEFAULT/controller/v1/0A/cancelAction/17"},
        "configData":{"href":"http://h/DEFAULT/controller/v1/0A/configData"}}})",
                                poll, error));
    EXPECT_EQ(poll.sleepSeconds, 129600u);
    EXPECT_TRUE(poll.wantsConfigData);
    EXPECT_EQ(poll.deploymentHref, "");
    EXPECT_EQ(_ddi_action_id(poll.cancelHref), "17");
    EXPECT_EQ(_ddi_action_id("http://h/T/controller/v1/0A/deploymentBase/42?c=-913027"), "42");
    ASSERT_TRUE(_ddi_parse_poll(R"({"config":{"polling":{"sleep":"00:00:30"}}})", poll, error));
    EXPECT_FALSE(poll.wantsConfigData);
    EXPECT_TRUE(poll.cancelHref.empty() && poll.deploymentHref.empty());
    EXPECT_FALSE(_ddi_parse_poll("not json", poll, error));
}

json Deployment(const char* download, const char* update, const char* window, json chunks)
{
    json deployment = {{"download", download}, {"update", update}, {"chunks", chunks}};
    if (window)
        deployment["maintenanceWindow"] = window;
    return {{"id", "42"}, {"deployment", deployment}};
}

json Chunk(const char* name, const char* file)
{
    return {{"part", "os"},
            {"name", name},
            {"version", "2.16.1"},
            {"artifacts",
             {{{"filename", file},
               {"size", 100},
               {"hashes", {{"sha1", "AB"}, {"sha256", "CD"}}},
               {"_links", {{"download-http", {{"href", std::string("http://h/") + file}}}}}}}}};
}

TEST(DdiMessages, DeploymentTypesAndWindow)
{
    const struct {
        const char* download;
        const char* update;
        const char* window;
        bool downloadOnly;
        bool updateDue;
    } cases[] = {
        {"forced", "forced", nullptr, false, true},
        {"attempt", "attempt", "available", false, true},
        {"forced", "skip", nullptr, true, false},
        {"forced", "skip", "unavailable", false, false},
        {"attempt", "attempt", "unavailable", false, false},
    };
    for (const auto& c : cases) {
        DdiDeployment deployment;
        std::string error;
        ASSERT_TRUE(_ddi_parse_deployment(Deployment(c.download, c.update, c.window, {Chunk("A", "a.bird")}).dump(),
                                          deployment, error));
        EXPECT_EQ(deployment.DownloadOnly(), c.downloadOnly) << c.download << " " << c.update;
        EXPECT_EQ(deployment.UpdateDue(), c.updateDue) << c.download << " " << c.update;
        EXPECT_EQ(deployment.actionId, "42");
        EXPECT_EQ(deployment.version, "2.16.1");
    }
    DdiDeployment deployment;
    std::string error;
    EXPECT_FALSE(
        _ddi_parse_deployment(Deployment("FORCED", "forced", nullptr, json::array()).dump(), deployment, error));
}

TEST(DdiMessages, ArtifactOfTheModulesModel)
{
    DdiDeployment one, several;
    std::string error;
    ASSERT_TRUE(
        _ddi_parse_deployment(Deployment("forced", "forced", nullptr, {Chunk("any", "x.bird")}).dump(), one, error));
    ASSERT_TRUE(_ddi_parse_deployment(
        Deployment("forced", "forced", nullptr, {Chunk("HubC4", "hub.bird"), Chunk("MeterSerial", "meter.bird")})
            .dump(),
        several, error));
    ASSERT_NE(_ddi_artifact_for(one, "MeterSerial"), nullptr);
    EXPECT_EQ(_ddi_artifact_for(one, "MeterSerial")->filename, "x.bird");
    EXPECT_EQ(_ddi_artifact_for(one, "MeterSerial")->sha256, "cd");
    ASSERT_NE(_ddi_artifact_for(several, "meterserial"), nullptr);
    EXPECT_EQ(_ddi_artifact_for(several, "meterserial")->filename, "meter.bird");
    EXPECT_EQ(_ddi_artifact_for(several, "Router2"), nullptr);
}

TEST(DdiMessages, FeedbackAndAttributes)
{
    std::vector<std::string> lines;
    lines.reserve(60);
    for (int i = 0; i < 60; ++i)
        lines.push_back("line " + std::to_string(i) + std::string(i == 59 ? 600 : 0, 'x'));
    const json feedback = json::parse(_ddi_feedback("closed", "failure", lines));
    EXPECT_FALSE(feedback.contains("timestamp"));
    EXPECT_EQ(feedback["status"]["execution"], "closed");
    EXPECT_EQ(feedback["status"]["result"]["finished"], "failure");
    ASSERT_EQ(feedback["status"]["details"].size(), 40u);
    EXPECT_EQ(feedback["status"]["details"][0], "line 20");
    EXPECT_EQ(feedback["status"]["details"][39].get<std::string>().size(), 512u);
    EXPECT_FALSE(json::parse(_ddi_feedback("proceeding", "none", {}))["status"].contains("details"));

    const json config = json::parse(_ddi_config_data(
        {{"model", "MeterSerial"}, {"name", "bench\x01 \xC3\xA9" + std::string(200, 'n')}, {"router", ""}}));
    EXPECT_EQ(config["mode"], "merge");
    EXPECT_EQ(config["data"]["model"], "MeterSerial");
    EXPECT_FALSE(config["data"].contains("router"));
    const std::string name = config["data"]["name"];
    EXPECT_EQ(name.size(), 128u);
    EXPECT_EQ(name.substr(0, 9), "bench_ __");
}

}  // namespace
