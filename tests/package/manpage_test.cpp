// The man page updater(1): it lints without a warning and documents every
// option the program accepts.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "app/Parameters.h"
#include "common/aVersion.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using testsupport::ProcessResult;
using testsupport::RunProcess;

const std::string PAGE = UPDATER_SOURCE_DIR "/doc/updater.1";

TEST(ManPage, LintsWithoutWarnings)
{
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
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS",
                                "ENVIRONMENT", "FILES", "NOTES", "EXAMPLES"})
        EXPECT_NE(man.out.find("\n" + std::string(section) + "\n"), std::string::npos) << section;
}

TEST(ManPage, NamesTheProgramsVersion)
{
    const std::string page = testsupport::ReadFile(PAGE);
    EXPECT_NE(page.find(std::string("\n.TH UPDATER 1 ")), std::string::npos);
    EXPECT_NE(page.find(std::string(" \"updater ") + aVersion_GetString() + "\" "), std::string::npos)
        << "the title line names " << aVersion_GetString();
}

// Each spelling of the option table appears in the page (hyphens escaped as
// roff wants them), except -Y, which the program refuses.
TEST(ManPage, DocumentsEveryOption)
{
    const std::string page = testsupport::ReadFile(PAGE);
    ASSERT_FALSE(page.empty());
    int documented = 0;
    for (const SOption* row = g_rgOptions; row->id != -1; ++row) {
        std::string roff;
        for (const char* c = row->spelling; *c; ++c)
            roff += (*c == '-') ? std::string("\\-") : std::string(1, *c);
        if (std::string(row->spelling) == "-Y") {
            EXPECT_EQ(page.find(".B \\-Y\n"), std::string::npos);
            continue;
        }
        // A whole word: "-h" is not found in "--h" nor in "-hx".
        bool found = false;
        for (size_t at = page.find(roff); at != std::string::npos && !found; at = page.find(roff, at + 1)) {
            char before = at >= 1 ? page[at - 1] : ' ';
            char next = at + roff.size() < page.size() ? page[at + roff.size()] : '\n';
            found = before != '-' && !isalnum(static_cast<unsigned char>(next)) && next != '\\';
        }
        EXPECT_TRUE(found) << row->spelling;
        ++documented;
    }
    EXPECT_GE(documented, 32);
}

}  // namespace
