#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "app/OptionScanner.h"
#include "app/Parameters.h"

namespace {

struct Found {
    std::string spelling;
    std::string argument;  // "<none>" for a flag
    bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Found& found)
{
    return out << found.spelling << "(" << found.argument << ")";
}

// Scans the words (argv[0] = "updater" is prepended) with the program's own table.
std::vector<Found> Scan(std::vector<std::string> words, std::vector<std::string>* set_aside = nullptr)
{
    words.insert(words.begin(), "updater");
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    OptionScanner scanner(static_cast<int>(words.size()), argv.data(), g_rgOptions);
    std::vector<Found> found;
    while (scanner.Next())
        found.push_back({scanner.OptionText(), scanner.OptionArg() ? scanner.OptionArg() : "<none>"});
    if (set_aside)
        *set_aside = scanner.SetAside();
    return found;
}

const std::string NONE = "<none>";

TEST(OptionScanner, ExactSpellingsAreCaseSensitive)
{
    EXPECT_EQ(Scan({"-D", "-d", "40F5849A", "-h", "-H"}),
              (std::vector<Found>{{"-D", NONE}, {"-d", "40F5849A"}, {"-h", NONE}, {"-H", NONE}}));
    EXPECT_TRUE(Scan({"-override", "--HELP"}).empty());
}

TEST(OptionScanner, UniqueAbbreviationWithTheSameHyphensSelectsTheSpelling)
{
    EXPECT_EQ(Scan({"-O"}), (std::vector<Found>{{"-OVERRIDE", NONE}}));
    EXPECT_EQ(Scan({"-OVER"}), (std::vector<Found>{{"-OVERRIDE", NONE}}));
    EXPECT_EQ(Scan({"--he"}), (std::vector<Found>{{"--help", NONE}}));
    // "--http" is a spelling of its own even though it begins "--https".
    EXPECT_EQ(Scan({"--http"}), (std::vector<Found>{{"--http", NONE}}));
    EXPECT_EQ(Scan({"--https"}), (std::vector<Found>{{"--https", NONE}}));
}

TEST(OptionScanner, AmbiguousOrForeignPrefixesMatchNothing)
{
    EXPECT_TRUE(Scan({"--h"}).empty());    // --help, --http, --https
    EXPECT_TRUE(Scan({"--htt"}).empty());  // --http, --https
    EXPECT_TRUE(Scan({"--O"}).empty());    // -OVERRIDE has one hyphen
    EXPECT_TRUE(Scan({"-he"}).empty());    // longer than -h: not an abbreviation
    EXPECT_TRUE(Scan({"-OVERRIDES"}).empty());
    EXPECT_TRUE(Scan({"-", "--", "---help"}).empty());
}

TEST(OptionScanner, OptionsAreNotClumpedNorGivenAttachedText)
{
    EXPECT_TRUE(Scan({"-DG"}).empty());
    EXPECT_TRUE(Scan({"-d40F5849A"}).empty());
    EXPECT_EQ(Scan({"-D", "-G"}), (std::vector<Found>{{"-D", NONE}, {"-G", NONE}}));
}

TEST(OptionScanner, ArgumentAttachedAfterEquals)
{
    EXPECT_EQ(Scan({"-d=40F5849A"}), (std::vector<Found>{{"-d", "40F5849A"}}));
    // Attached text is taken as it is, even when it begins with '-' or is empty.
    EXPECT_EQ(Scan({"-i=-x", "-b="}), (std::vector<Found>{{"-i", "-x"}, {"-b", ""}}));
    // Only the first '=' splits.
    EXPECT_EQ(Scan({"-u=http://h/cgi/u?a=b"}), (std::vector<Found>{{"-u", "http://h/cgi/u?a=b"}}));
}

TEST(OptionScanner, MissingArgumentsAreSkippedAndTheNextWordIsStillRead)
{
    EXPECT_TRUE(Scan({"-d"}).empty());
    // "-D" is not taken as the serial number: -d is skipped and -D counts.
    EXPECT_EQ(Scan({"-d", "-D"}), (std::vector<Found>{{"-D", NONE}}));
    EXPECT_EQ(Scan({"-s", "-", "-D"}), (std::vector<Found>{{"-D", NONE}}));
    // An empty word is an argument: it does not begin with '-'.
    EXPECT_EQ(Scan({"-f", ""}), (std::vector<Found>{{"-f", ""}}));
}

TEST(OptionScanner, FlagsWithEqualsValueAreSkipped)
{
    EXPECT_TRUE(Scan({"-OVERRIDE=1", "--help=yes", "-D=1"}).empty());
    EXPECT_EQ(Scan({"-D=1", "-G"}), (std::vector<Found>{{"-G", NONE}}));
}

TEST(OptionScanner, WordsThatAreNotOptionsAreSetAside)
{
    std::vector<std::string> set_aside;
    EXPECT_EQ(Scan({"extra", "-d", "1234", "more", "-D"}, &set_aside),
              (std::vector<Found>{{"-d", "1234"}, {"-D", NONE}}));
    EXPECT_EQ(set_aside, (std::vector<std::string>{"extra", "more"}));
}

TEST(OptionScanner, ProgramNameIsNeverScannedAndEmptyVectorsAreFine)
{
    char program[] = "-D";
    char* argv[] = {program, nullptr};
    OptionScanner scanner(1, argv, g_rgOptions);
    EXPECT_FALSE(scanner.Next());

    OptionScanner none(0, nullptr, g_rgOptions);
    EXPECT_FALSE(none.Next());
    EXPECT_EQ(none.OptionId(), -1);
}

// Every word that selected an option before "--json" existed still selects
// the same one, and "--json" adds only its own prefixes.
struct Resolution {
    const char* word;
    const char* spelling;  // "" when the word matches nothing
};

class Resolves : public ::testing::TestWithParam<Resolution> {};

TEST_P(Resolves, WordToSpelling)
{
    const Resolution& r = GetParam();
    std::vector<Found> found = Scan({r.word});
    if (r.spelling[0] == '\0') {
        EXPECT_TRUE(found.empty()) << r.word << " selected " << (found.empty() ? "" : found[0].spelling);
    } else {
        ASSERT_EQ(found.size(), 1u) << r.word;
        EXPECT_EQ(found[0].spelling, r.spelling) << r.word;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryOption, Resolves,
    ::testing::Values(Resolution{"-B", "-B"}, Resolution{"-L", "-L"}, Resolution{"-D", "-D"}, Resolution{"-G", "-G"},
                      Resolution{"-I", "-I"}, Resolution{"-U", "-U"}, Resolution{"-N", "-N"}, Resolution{"-Y", "-Y"},
                      Resolution{"-C", "-C"}, Resolution{"-J", "-J"}, Resolution{"-h", "-h"}, Resolution{"-H", "-H"},
                      Resolution{"-n", "-n"}, Resolution{"-e", "-e"}, Resolution{"-O", "-OVERRIDE"},
                      Resolution{"-OV", "-OVERRIDE"}, Resolution{"-OVERRID", "-OVERRIDE"},
                      Resolution{"-OVERRIDE", "-OVERRIDE"}, Resolution{"--", ""}, Resolution{"--h", ""},
                      Resolution{"--he", "--help"}, Resolution{"--hel", "--help"}, Resolution{"--help", "--help"},
                      Resolution{"--ht", ""}, Resolution{"--htt", ""}, Resolution{"--http", "--http"},
                      Resolution{"--https", "--https"}, Resolution{"--httpss", ""}, Resolution{"--j", ""},
                      Resolution{"--js", "--json"}, Resolution{"--jso", "--json"}, Resolution{"--json", "--json"},
                      Resolution{"--jsonl", ""}, Resolution{"--JSON", ""}, Resolution{"-json", ""},
                      Resolution{"-j", ""}, Resolution{"--json=1", ""}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.word; *c; ++c)
            name += isalnum(static_cast<unsigned char>(*c)) ? *c : (*c == '-' ? 'h' : 'q');
        return name + "_" + std::to_string(info.index);
    });

// Read exactly: spellings only, the next word whatever it is as the argument (none at
// the end), and a stop at the first word that is no spelling.
TEST(OptionScanner, ExactWordsStopAtTheFirstUnknownWord)
{
    const struct {
        std::vector<std::string> words;
        std::vector<Found> found;
        const char* unknown;  // null: none
    } cases[] = {
        {{"-d", "-5", "--json"}, {{"-d", "-5"}, {"--json", NONE}}, nullptr},
        {{"-h", "-d"}, {{"-h", NONE}, {"-d", NONE}}, nullptr},
        {{"--json", "--he", "-h"}, {{"--json", NONE}}, "--he"},
        {{"-d=40F5849A"}, {}, "-d=40F5849A"},
        {{"40F5849A", "-h"}, {}, "40F5849A"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"module-server"};
        for (const std::string& word : c.words)
            argv.push_back(word.c_str());
        OptionScanner scanner(static_cast<int>(argv.size()), argv.data(), g_rgOptions, OptionWords::Exact);
        std::vector<Found> found;
        while (scanner.Next())
            found.push_back({scanner.OptionText(), scanner.OptionArg() ? scanner.OptionArg() : NONE});
        EXPECT_EQ(found, c.found) << c.words[0];
        EXPECT_STREQ(scanner.Unknown(), c.unknown) << c.words[0];
    }
}

TEST(OptionScanner, ArgumentTakingOptionsStillTakeTheirArgument)
{
    for (const char* option : {"-X", "-Z", "-m", "-i", "-b", "-d", "-t", "-f", "-r", "-s", "-o", "-l", "-k", "-u"}) {
        EXPECT_EQ(Scan({option, "v", "--json"}), (std::vector<Found>{{option, "v"}, {"--json", NONE}})) << option;
        // "--json" is an option, not the argument of the one before it.
        EXPECT_EQ(Scan({option, "--json"}), (std::vector<Found>{{"--json", NONE}})) << option;
    }
}

}  // namespace
