// The man pages updater(1) and module-server(1): they lint without a warning
// and document every option their programs accept.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>

#include "InstallTree.h"
#include "app/Parameters.h"
#include "app/RecordingCLIDisplay.h"
#include "common/served/aStreamZeroMQClient.h"
#include "common/aVersion.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using testsupport::ProcessResult;
using testsupport::RunProcess;

const std::string PAGE = UPDATER_SOURCE_DIR "/doc/updater.1";
const std::string SERVER_PAGE = UPDATER_SOURCE_DIR "/doc/module-server.1";
const std::string AGENT_PAGE = UPDATER_SOURCE_DIR "/doc/updater-agent.1";

// Whether the page names the option as a whole word (hyphens escaped as roff
// wants them, unless not `escaped`): "-h" is not found in "--h" nor in "-hx".
bool _documents(const std::string& page, const std::string& option, bool escaped = true)
{
    std::string roff;
    for (char c : option)
        roff += (c == '-' && escaped) ? std::string("\\-") : std::string(1, c);
    for (size_t at = page.find(roff); at != std::string::npos; at = page.find(roff, at + 1)) {
        char before = at >= 1 ? page[at - 1] : ' ';
        char next = at + roff.size() < page.size() ? page[at + roff.size()] : '\n';
        if (before != '-' && !isalnum(static_cast<unsigned char>(next)) && next != '\\')
            return true;
    }
    return false;
}

class ManPages : public ::testing::TestWithParam<std::string> {};

TEST_P(ManPages, LintWithoutWarnings)
{
    const std::string PAGE = GetParam();
    ProcessResult mandoc = RunProcess({"mandoc", "-T", "lint", "-W", "warning", PAGE});
    EXPECT_EQ(mandoc.exit_status, 0) << mandoc.out << mandoc.err;
    EXPECT_EQ(mandoc.out + mandoc.err, "");

    ProcessResult groff = RunProcess({"groff", "-ww", "-z", "-t", "-man", PAGE});
    EXPECT_EQ(groff.exit_status, 0);
    EXPECT_EQ(groff.out + groff.err, "");

    // man -l renders it as a user would read it.
    testsupport::RunOptions options;
    options.env["MANWIDTH"] = "80";
    options.env["MANPAGER"] = "cat";
    ProcessResult man = RunProcess({"man", "-l", PAGE}, options);
    EXPECT_EQ(man.exit_status, 0);
    EXPECT_EQ(man.err, "");
    // A macro that lost its line start shows up as text.
    EXPECT_FALSE(std::regex_search(man.out, std::regex(R"(\.(BR|RB|BI|IB|IR|RI)|\.[BIR](\s|$))"))) << man.out;
    for (const char* section :
         {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "ENVIRONMENT", "FILES", "NOTES", "EXAMPLES"})
        EXPECT_NE(man.out.find("\n" + std::string(section) + "\n"), std::string::npos) << section;
    if (PAGE.find("/updater.1") != std::string::npos) {
        EXPECT_NE(man.out.find("\nCOMMANDS\n"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Pages, ManPages, ::testing::Values(PAGE, SERVER_PAGE, AGENT_PAGE));

// Every option of updater-agent's usage is on its page and offered by its completion.
TEST(ManPage, AgentDocumentsItsOptions)
{
    const std::string page = testsupport::ReadFile(AGENT_PAGE);
    const char* const complete =
        "source \"$1\"; COMP_WORDS=(updater-agent -); COMP_CWORD=1; _updater_agent; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"";
    const std::string completed =
        "\n" +
        RunProcess({"bash", "-c", complete, "bash", UPDATER_SOURCE_DIR "/contrib/bash-completion/updater-agent"}).out;
    const auto options = packagetest::AgentOptions();
    for (const std::string& option : options) {
        EXPECT_TRUE(_documents(page, option)) << option;
        EXPECT_NE(completed.find("\n" + option + "\n"), std::string::npos) << option;
    }
    EXPECT_GE(options.size(), 12u);
    for (const char* variable : {"UPDATER_CA_BUNDLE", "UPDATER_PINNED_KEY"})
        EXPECT_NE(page.find(std::string(".B ") + variable), std::string::npos) << variable;
}

// Every option of module-server's usage, and the client's environment.
TEST(ManPage, ModuleServerDocumentsItsOptions)
{
    const std::string page = testsupport::ReadFile(SERVER_PAGE);
    const auto options = packagetest::ServerOptions();
    for (const std::string& option : options)
        EXPECT_TRUE(_documents(page, option)) << option;
    EXPECT_GE(options.size(), 12u);
    for (const char* variable : {aCLIENT_SERVER_KEY_ENV, aCLIENT_CERTIFICATE_ENV})
        EXPECT_NE(page.find(std::string(".B ") + variable), std::string::npos) << variable;
}

TEST(ManPage, NamesTheProgramsVersion)
{
    const std::string page = testsupport::ReadFile(PAGE);
    EXPECT_NE(page.find(std::string("\n.TH UPDATER 1 ")), std::string::npos);
    EXPECT_NE(page.find(std::string(" \"updater ") + aVersion_GetString() + "\" "), std::string::npos)
        << "the title line names " << aVersion_GetString();
}

// Each spelling of the option table that the parser takes as its own (whatever
// it makes of the argument) is named by the full help, the page and the bash
// completion, so that an option added to the table later is checked too.
TEST(ManPage, HelpPageAndCompletionNameEveryOption)
{
    const std::string page = testsupport::ReadFile(PAGE);
    const std::string help = testsupport::RunUpdater({"-X", "0", "-h"}).err;
    const char* const complete =
        "source \"$1\"; COMP_WORDS=(updater -); COMP_CWORD=1; _updater; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"";
    const std::string completed =
        "\n" + RunProcess({"bash", "-c", complete, "bash", UPDATER_SOURCE_DIR "/contrib/bash-completion/updater"}).out;
    int documented = 0;
    for (const SOption* row = g_rgOptions; row->id != -1; ++row) {
        std::string words[] = {"updater", row->spelling, "1"};  // "1": an argument, or a word set aside
        char* argv[] = {words[0].data(), words[1].data(), words[2].data()};
        RecordingCLIDisplay display;
        Parameters params;
        _get_params(display, 3, argv, &params);
        if (!display.errors.empty() && display.errors[0].rfind("Unhandled command", 0) == 0)
            continue;
        EXPECT_TRUE(_documents(page, row->spelling)) << row->spelling;
        EXPECT_TRUE(_documents(help, row->spelling, false)) << row->spelling << " in updater -X 0 -h";
        EXPECT_NE(completed.find("\n" + std::string(row->spelling) + "\n"), std::string::npos) << row->spelling;
        ++documented;
    }
    EXPECT_GE(documented, 33);
}

}  // namespace
