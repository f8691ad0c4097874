// The bash completions of updater and module-server, driven the way bash
// drives them: COMP_WORDS and COMP_CWORD set, the function that "complete -p
// PROGRAM" names called, and COMPREPLY read back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "InstallTree.h"
#include "app/Parameters.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using Words = std::vector<std::string>;
using testsupport::ProcessResult;
using testsupport::TempDir;

// Sources the completion (under the shell options given in $2) and completes
// the words after them.
const char* const DRIVER = R"(source "$1" || exit 2
[[ -n $2 ]] && shopt -s $2
shift 2
spec=$(complete -p "$1") || exit 3
fn=${spec#*-F }
fn=${fn%% *}
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
"$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
for word in "${COMPREPLY[@]}"; do printf '%s\n' "$word"; done
)";

// Every option spelling the program knows, but -Y, which it refuses.
Words AllOptions()
{
    Words options;
    for (const SOption* row = g_rgOptions; row->id != -1; ++row)
        if (std::string(row->spelling) != "-Y")
            options.push_back(row->spelling);
    std::sort(options.begin(), options.end());
    return options;
}

struct CompletionCase {
    const char* label;
    Words words;     // from "updater" to the word being completed
    Words expected;  // in any order; {"<all options>"} for the program's options
};

std::ostream& operator<<(std::ostream& out, const CompletionCase& c)
{
    return out << c.label;
}

class Completion : public ::testing::TestWithParam<CompletionCase> {
protected:
    // A home with a store, another store below the working directory, and files.
    void SetUp() override
    {
        for (const char* dir :
             {".kestrune", ".kestrune/updater", ".kestrune/updater/40F5849A", ".kestrune/updater/0000BEEF",
              ".kestrune/updater/abcdef12", ".kestrune/updater/notaserial", ".kestrune/updater/123456789"})
            ASSERT_EQ(mkdir((home / dir).c_str(), 0755), 0) << dir;
        home.Write(".kestrune/updater/40F5849A/117.bird", "x");
        home.Write(".kestrune/updater/40F5849A/99528558.bird", "x");
        home.Write(".kestrune/updater/40F5849A/notes.bird", "x");
        home.Write(".kestrune/updater/40F5849A/.settings", "x");
        home.Write(".kestrune/updater/7EADBEEF", "a file, not a device");
        for (const char* dir : {"alt", "alt/updater", "alt/updater/2181F0EE", "sub", "fw dir"})
            ASSERT_EQ(mkdir((work / dir).c_str(), 0755), 0) << dir;
        work.Write("a.bird", "x");
        work.Write("b c.bird", "x");
        work.Write("x.txt", "x");
        work.Write("driver.sh", DRIVER);
    }

    Words Complete(const Words& words, const std::string& shell_options = "")
    {
        Words argv = {"bash",
                      "--norc",
                      "--noprofile",
                      work / "driver.sh",
                      UPDATER_SOURCE_DIR "/contrib/bash-completion/" + words[0],
                      shell_options};
        argv.insert(argv.end(), words.begin(), words.end());
        testsupport::RunOptions options;
        options.env["HOME"] = home.path();
        options.working_directory = work.path();
        options.kill_after_seconds = 60;
        ProcessResult result = testsupport::RunProcess(argv, options);
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        Words reply;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);)
            reply.push_back(line);
        std::sort(reply.begin(), reply.end());
        return reply;
    }

    TempDir home, work;
};

TEST_P(Completion, Offers)
{
    Words expected = GetParam().expected;
    if (expected == Words{"<all options>"})
        expected = GetParam().words[0] == "updater" ? AllOptions() : packagetest::ServerOptions();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Complete(GetParam().words), expected);
    // A user's glob settings change nothing.
    EXPECT_EQ(Complete(GetParam().words, "failglob"), expected) << "failglob";
    EXPECT_EQ(Complete(GetParam().words, "nullglob"), expected) << "nullglob";
}

INSTANTIATE_TEST_SUITE_P(
    Bash, Completion,
    ::testing::Values(
        CompletionCase{"options", {"updater", ""}, {"<all options>"}},
        CompletionCase{"hyphen", {"updater", "-"}, {"<all options>"}},
        CompletionCase{"long_prefix", {"updater", "--h"}, {"--help", "--history", "--http", "--https"}},
        CompletionCase{"json", {"updater", "-D", "--j"}, {"--jobs", "--json", "--junit"}},
        CompletionCase{"override", {"updater", "-O"}, {"-OVERRIDE"}},
        CompletionCase{"after_an_argument", {"updater", "-t", "TCPIP", "-"}, {"<all options>"}},
        CompletionCase{"transports", {"updater", "-D", "-t", ""}, {"USB", "TCPIP", "RECOVER"}},
        CompletionCase{"transport_prefix", {"updater", "-t", "R"}, {"RECOVER"}},
        CompletionCase{"stored_serials", {"updater", "-d", ""}, {"0000BEEF", "40F5849A"}},
        CompletionCase{"router_prefix", {"updater", "-r", "4"}, {"40F5849A"}},
        CompletionCase{"attached_serial", {"updater", "-d", "=", ""}, {"0000BEEF", "40F5849A"}},
        CompletionCase{"store_from_i", {"updater", "-i", "alt", "-d", ""}, {"2181F0EE"}},
        CompletionCase{"store_from_i_equals", {"updater", "-i", "=", "alt", "-r", ""}, {"2181F0EE"}},
        CompletionCase{"builds_of_the_device", {"updater", "-U", "-d", "40f5849a", "-b", ""}, {"117", "99528558"}},
        CompletionCase{"builds_prefixed_serial", {"updater", "-d", "=", "0x40F5849A", "-b", "9"}, {"99528558"}},
        CompletionCase{"builds_without_device", {"updater", "-b", ""}, {}},
        CompletionCase{"builds_of_unknown_device", {"updater", "-d", "12", "-b", ""}, {}},
        CompletionCase{"bird_files", {"updater", "-U", "-f", ""}, {"a.bird", "b c.bird", "fw dir", "alt", "sub"}},
        CompletionCase{"bird_file_prefix", {"updater", "-f", "b"}, {"b c.bird"}},
        CompletionCase{"store_directory", {"updater", "-i", "s"}, {"sub"}},
        CompletionCase{"baud_rates", {"updater", "-o", "11"}, {"115200"}},
        CompletionCase{"uei_bytes", {"updater", "-m", ""}, {"0", "1", "false", "true"}},
        CompletionCase{"free_text", {"updater", "-u", ""}, {}},
        CompletionCase{"serial_port_usb", {"updater", "-s", "U"}, {"USB"}},
        CompletionCase{"server_options", {"module-server", "-"}, {"<all options>"}},
        CompletionCase{"server_serials", {"module-server", "--device", ""}, {"0000BEEF", "40F5849A"}},
        CompletionCase{"server_rates", {"module-server", "--serial", "x.txt", "--baud", "2"}, {"2400", "230400"}},
        CompletionCase{"server_allow", {"module-server", "--curve-key", "a.bird", "--allow", "s"}, {"sub"}},
        CompletionCase{"server_tcp", {"module-server", "--tcp", ""}, {}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
