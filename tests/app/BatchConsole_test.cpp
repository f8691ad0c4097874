// What a batch shows while it runs: plain lines through a pipe, one line per
// module redrawn in place on a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/BatchConsole.h"

namespace {

// Runs the steps on a console writing to a memory stream; what it wrote.
template <typename Steps>
std::string Shown(bool live, Steps steps)
{
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    {
        BatchConsole console(out, live, {"40F5849A  HubC4", "0B0B0B0B  MeterSerial"});
        steps(console);
    }
    fclose(out);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

ModuleOutcome Ended(BatchResult result, const std::string& message)
{
    ModuleOutcome outcome;
    outcome.result = result;
    outcome.message = message;
    outcome.seconds = 2.25;
    return outcome;
}

}  // namespace

TEST(BatchConsole, ThroughAPipeEachPhaseIsALineBeginningWithTheSerial)
{
    const std::string shown = Shown(false, [](BatchConsole& console) {
        console.Phase(0, "connect");
        console.Progress(0, 0.5);  // no line of its own
        console.Phase(1, "loader");
        console.Error(1, "Failed to connect to module [0B0B0B0B]");
        console.Finished(1, Ended(BatchResult::Failed, "Failed to connect to module [0B0B0B0B]"));
        console.Finished(0, Ended(BatchResult::Updated, ""));
        console.Draw();  // nothing to redraw through a pipe
    });
    EXPECT_EQ(shown,
              "40F5849A: connect\n0B0B0B0B: loader\n0B0B0B0B: Failed to connect to module [0B0B0B0B]\n"
              "0B0B0B0B: failed (2.2 s): Failed to connect to module [0B0B0B0B]\n40F5849A: updated (2.2 s)\n");
}

TEST(BatchConsole, OnATerminalTheLinesAreRedrawnInPlaceWhenTheyChanged)
{
    const std::string shown = Shown(true, [](BatchConsole& console) {
        console.Draw();
        console.Draw();  // unchanged: nothing
        console.Phase(0, "firmware");
        console.Progress(0, 0.45);
        console.Draw();
    });
    const std::string waiting = "\r\033[K  40F5849A  HubC4  waiting\n\r\033[K  0B0B0B0B  MeterSerial  waiting\n";
    EXPECT_EQ(shown, waiting + "\r\033[2A\r\033[K" + BatchConsole::Line("40F5849A  HubC4", "firmware", 0.45, true) +
                         "\n\r\033[K  0B0B0B0B  MeterSerial  waiting\n");
    EXPECT_EQ(BatchConsole::Line("40F5849A  HubC4", "firmware", 0.45, true),
              "  40F5849A  HubC4  firmware     [=============                 ]  45%");
}
