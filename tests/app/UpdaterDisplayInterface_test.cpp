#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

namespace {

// Records every slot call as one line.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> calls;
    void display_progress(bool active) override { calls.push_back(std::string("progress ") + (active ? "on" : "off")); }
    void update_progress(double fraction, const char* label) override
    {
        calls.push_back("bar " + std::to_string(int(fraction * 100)) + " " + (label ? label : "-"));
    }
    void update_spinner(bool active, const char* label) override
    {
        calls.push_back(std::string("spin ") + (active ? "on " : "off ") + (label ? label : "-"));
    }
    void info_message(const char* text) override { calls.push_back(std::string("info ") + text); }
    void error_message(const char* text) override { calls.push_back(std::string("error ") + text); }
};

}  // namespace

TEST(UpdaterDisplayInterface, DispatchesByLevel)
{
    RecordingDisplay display;
    EXPECT_FALSE(display.mute);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec", 1.5);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s", "/x");
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "other levels are %s", "info");
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"info Update time: 1.5000 sec", "error Could not find updater directory at /x",
                                        "info other levels are info"}));
}

TEST(UpdaterDisplayInterface, MessagesAreCutAt2047Characters)
{
    RecordingDisplay display;
    std::string text(2047, 'a');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", text.c_str());
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%sb", text.c_str());
    ASSERT_EQ(display.calls.size(), 2u);
    EXPECT_EQ(display.calls[0], "info " + text);
    EXPECT_EQ(display.calls[1], "info " + text);
}

TEST(UpdaterDisplayInterface, MuteSilencesMessagesOnly)
{
    RecordingDisplay display;
    display.mute_messages(true);
    EXPECT_TRUE(display.mute);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "expected failure %d", 1);
    display.display_progress(true);
    display.update_progress(0.5, "Verifying Update");
    display.update_spinner(true, nullptr);
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "back");
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"progress on", "bar 50 Verifying Update", "spin on -", "info back"}));
}
