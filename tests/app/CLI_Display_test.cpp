#include <gtest/gtest.h>

#include <string>

#include "support/Process.h"
#include "app/CLI_Display.h"

namespace {

using testsupport::ProcessResult;
using testsupport::RunInChild;
using testsupport::RunOptions;

// Runs the drawing in a child whose standard output is a terminal (or a pipe).
template <typename Body>
ProcessResult Draw(Body body, bool terminal = true)
{
    RunOptions options;
    options.stdout_terminal = terminal;
    options.kill_after_seconds = 30;
    return RunInChild(
        [&body] {
            CLI_Display display;
            body(display);
        },
        options);
}

std::string Bar(int filled, int spaces, const char* percent)
{
    return "[" + std::string(filled, '=') + ">" + std::string(spaces, ' ') + "] (" + percent + "% ) ";
}

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

TEST(CLI_Display, MessagesGoToTheirStreams)
{
    ProcessResult result = Draw(
        [](CLI_Display& display) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", 117u);
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", 117u);
            display.info_message("plain");
        },
        false);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "Retrieving build 117\nplain\n");
    EXPECT_EQ(result.err, "No valid build 117\n");
}

TEST(CLI_Display, ProgressBarWithoutLabel)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        display.update_progress(0.0, nullptr);
        display.update_progress(0.5, nullptr);
        display.update_progress(1.0, nullptr);
    });
    EXPECT_EQ(result.out, "\r" + Bar(0, 68, "  0") + "\r" + Bar(34, 34, " 50") + "\r" + Bar(69, 1, "100"));
}

TEST(CLI_Display, ProgressBarWithLabelIsShorterByTheLabel)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        display.update_progress(0.25, "Downloading");      // width 69 - 4 - 11 = 54
        display.update_progress(1.0, "Verifying Update");  // width 49
    });
    EXPECT_EQ(result.out, "\r (Downloading) " + Bar(13, 40, " 25") + "\r (Verifying Update) " + Bar(49, 1, "100"));
}

TEST(CLI_Display, ProgressOutsideTheRangeStaysWithinTheBar)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        display.update_progress(1.5, nullptr);
        display.update_progress(-0.2, nullptr);
    });
    EXPECT_EQ(result.out, "\r" + Bar(69, 1, "100") + "\r" + Bar(0, 68, "  0"));
}

TEST(CLI_Display, EndOfProgressClearsTheLine)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        display.display_progress(true);
        display.display_progress(false);
    });
    EXPECT_EQ(result.out, CLEAR);
}

TEST(CLI_Display, SpinnerFramesContinueAcrossPhases)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        for (int i = 0; i < 3; ++i)
            display.update_spinner(true, "Downloading");
        display.update_spinner(false, "Downloading");
        for (int i = 0; i < 7; ++i)
            display.update_spinner(true, nullptr);
    });
    std::string expected;
    for (const char* frame : {".", "..", "..."})
        expected += std::string("\r (Downloading) ") + frame + "      \r";
    expected += CLEAR;
    for (const char* frame : {"....", ".....", "....", "...", "..", ".", ".."})
        expected += std::string("\r ") + frame + "      \r";
    EXPECT_EQ(result.out, expected);
}

TEST(CLI_Display, NothingIsDrawnWhenOutputIsRedirected)
{
    ProcessResult result = Draw(
        [](CLI_Display& display) {
            display.display_progress(true);
            display.update_progress(0.5, "Downloading");
            display.update_spinner(true, "Downloading");
            display.update_spinner(false, "Downloading");
            display.display_progress(false);
            display.info_message("done");
        },
        false);
    EXPECT_EQ(result.out, "done\n");
    EXPECT_EQ(result.err, "");
}

TEST(CLI_Display, MutedDisplayStillDrawsProgress)
{
    ProcessResult result = Draw([](CLI_Display& display) {
        display.mute_messages(true);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
        display.update_progress(1.0, nullptr);
        display.mute_messages(false);
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "shown");
    });
    EXPECT_EQ(result.out, "\r" + Bar(69, 1, "100") + "shown\n");
    EXPECT_EQ(result.err, "");
}

TEST(CLI_Display, DocumentModeKeepsStandardOutputForTheDocument)
{
    for (bool terminal : {false, true}) {
        ProcessResult result = Draw(
            [](CLI_Display& display) {
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "before %d", 1);
                display.reserve_stdout_for_documents();
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "Searching for %s", "modules");
                display.message(UpdaterDisplayInterface::LEVEL_ERROR, "trouble");
                display.update_progress(0.5, nullptr);
                display.update_spinner(true, "Downloading");
                display.display_progress(false);
                // Larger than a message's 2048-byte buffer: written whole.
                display.write_document("{\"a\": \"" + std::string(5000, 'x') + "\"}\n");
            },
            terminal);
        EXPECT_EQ(result.exit_status, 0);
        // Standard error is a pipe here, so nothing is drawn on it, and the
        // terminal on standard output gets no progress either.
        EXPECT_EQ(result.err, "Searching for modules\ntrouble\n");
        std::string expected = "before 1\n{\"a\": \"" + std::string(5000, 'x') + "\"}\n";
        EXPECT_EQ(result.out, expected) << "terminal " << terminal;
    }
}

}  // namespace
