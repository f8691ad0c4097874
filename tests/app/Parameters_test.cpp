#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/RecordingCLIDisplay.h"
#include "app/Parameters.h"
#include "app/UpdateAll.h"
#include "app/Usage.h"
#include "common/Log.h"

namespace {

using Strings = std::vector<std::string>;

class GetParams : public ::testing::Test {
protected:
    void SetUp() override
    {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }
    void TearDown() override
    {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }

    // Parses "updater" followed by the words; returns _get_params' result.
    int Parse(std::vector<std::string> words, const std::string& program = "updater")
    {
        words.insert(words.begin(), program);
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        return _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
    }

    RecordingCLIDisplay display;
    Parameters params;
};

TEST_F(GetParams, NoArgumentsGiveTheDefaults)
{
    EXPECT_EQ(Parse({}, "/usr/local/bin/updater"), 0);
    EXPECT_EQ(params.commands.Bits(), 0u);
    EXPECT_EQ(params.app_name, "updater");
    EXPECT_EQ(params.device_serial, 0u);
    EXPECT_EQ(params.router_serial, 0u);
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    EXPECT_FALSE(params.transport_given);
    EXPECT_EQ(params.baud_rate, 115200);
    EXPECT_EQ(params.module_address, 0);
    EXPECT_TRUE(params.build.empty());
    EXPECT_EQ(params.server_url, _default_http_url());
    EXPECT_EQ(params.server_url, "http://update.kestrune.example/cgi/u");
    EXPECT_EQ(params.log_mode, "a+");
    EXPECT_EQ(params.log_file, "Updater.log");
    EXPECT_TRUE(params.uei_bytes_load);
    EXPECT_FALSE(params.override_model_checks);
    EXPECT_FALSE(params.log_mask_given);
    EXPECT_FALSE(params.help_requested);
    EXPECT_FALSE(params.home_directory.empty());
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(GetParams, ProgramNameIsCutAfterEitherSlash)
{
    Parse({}, "C:\\tools\\updater.exe");
    EXPECT_EQ(params.app_name, "updater.exe");
    Parse({}, "bin/x\\y/upd");
    EXPECT_EQ(params.app_name, "upd");
}

TEST_F(GetParams, EveryCommandOptionSetsItsBit)
{
    EXPECT_EQ(Parse({"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"}), 0);
    EXPECT_EQ(params.commands.Bits(),
              uint32_t(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_DISCOVER | CMD_GET_BUILD | CMD_VIEW_INFO |
                       CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK_BIRD | CMD_GET_JWT | CMD_RESERVED_Z));
    EXPECT_FALSE(params.commands.IsSet(CMD_HELP));
}

TEST_F(GetParams, ReservedZNeedsItsIgnoredArgument)
{
    EXPECT_EQ(Parse({"-Z"}), 0);
    EXPECT_FALSE(params.commands.IsSet(CMD_RESERVED_Z));
}

TEST_F(GetParams, SerialNumberWithOrWithoutPrefix)
{
    for (const char* text : {"0x40f5849a", "40F5849A", "0X40F5849A", "=40F5849A"}) {
        SCOPED_TRACE(text);
        std::string word = text;
        if (word[0] == '=')
            EXPECT_EQ(Parse({"-d" + word}), 0);
        else
            EXPECT_EQ(Parse({"-d", word}), 0);
        EXPECT_EQ(params.device_serial, 0x40F5849Au);
        EXPECT_TRUE(display.errors.empty());
    }
}

TEST_F(GetParams, BadSerialNumbersAreReportedWithTheTextAfterThePrefix)
{
    EXPECT_EQ(Parse({"-d", "0x"}), 1);
    EXPECT_EQ(display.errors, Strings{"Invalid serial number obtained from argument []"});
    display.errors.clear();
    EXPECT_EQ(Parse({"-d", "4G"}), 1);
    EXPECT_EQ(display.errors, Strings{"Invalid serial number obtained from argument [4G]"});
    EXPECT_EQ(params.device_serial, 0u);
    display.errors.clear();
    EXPECT_EQ(Parse({"-d", "0"}), 1);
    EXPECT_EQ(display.errors, Strings{"Invalid serial number obtained from argument [0]"});
}

TEST_F(GetParams, SerialNumberWiderThan32BitsIsRefusedNotCut)
{
    // Keeping the low 32 bits of 140F5849A would select another device.
    EXPECT_EQ(Parse({"-d", "140F5849A"}), 1);
    EXPECT_EQ(display.errors, Strings{"Invalid serial number obtained from argument [140F5849A]"});
    EXPECT_EQ(params.device_serial, 0u);
}

TEST_F(GetParams, SerialNumberAsLastWordIsSkippedSilently)
{
    EXPECT_EQ(Parse({"-B", "-d"}), 0);
    EXPECT_EQ(params.device_serial, 0u);
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(GetParams, RouterSerialNumberHasItsOwnMessage)
{
    EXPECT_EQ(Parse({"-r", "0xD272031D"}), 0);
    EXPECT_EQ(params.router_serial, 0xD272031Du);
    EXPECT_EQ(Parse({"-r", "zz"}), 1);
    EXPECT_EQ(display.errors, Strings{"Invalid router serial number obtained from argument [zz]"});
}

TEST_F(GetParams, PrefixesAreNotedInTheDebugLog)
{
    FILE* log = tmpfile();
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_Updater);
    Parse({"-d", "0x40F5849A", "-r", "0XD272031D"});
    std::string text(256, '\0');
    rewind(log);
    text.resize(fread(text.data(), 1, text.size(), log));
    fclose(log);
    EXPECT_EQ(text, "Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n");
}

TEST_F(GetParams, TransportNames)
{
    EXPECT_EQ(Parse({"-t", "TCPIP"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_TCPIP);
    EXPECT_TRUE(params.transport_given);
    EXPECT_EQ(Parse({"-t", "USB"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    EXPECT_TRUE(params.transport_given);
    EXPECT_EQ(Parse({"-t", "RECOVER"}), 0);
    EXPECT_EQ(params.transport, TRANSPORT_RECOVER);
    EXPECT_EQ(display.errors.size(), 0u);

    EXPECT_EQ(Parse({"-t", "usb"}), 1);
    EXPECT_EQ(params.transport, TRANSPORT_INVALID);
    EXPECT_TRUE(params.transport_given);
    EXPECT_EQ(display.errors,
              Strings{"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"});
    display.errors.clear();
    EXPECT_EQ(Parse({"-t", "RECOVE"}), 1);
}

TEST_F(GetParams, OneUpdateServerUrlOnly)
{
    const std::string message =
        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.";
    EXPECT_EQ(Parse({"--https", "-u", "http://127.0.0.1:1/cgi/u"}), 1);
    EXPECT_EQ(display.errors, Strings{message});
    display.errors.clear();
    EXPECT_EQ(Parse({"--http", "--http"}), 1);
    EXPECT_EQ(display.errors, Strings{message});
    display.errors.clear();

    EXPECT_EQ(Parse({"--https"}), 0);
    EXPECT_EQ(params.server_url, "https://update.kestrune.example/cgi/u");
    EXPECT_EQ(Parse({"-u", "http://127.0.0.1:1/cgi/u"}), 0);
    EXPECT_EQ(params.server_url, "http://127.0.0.1:1/cgi/u");
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(GetParams, HelpEndsTheParseAndWins)
{
    EXPECT_EQ(Parse({"-h", "-d", "4G", "-Y"}), 0);
    EXPECT_TRUE(params.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(params.help_requested);
    EXPECT_TRUE(display.errors.empty());

    // Errors before the help option are reported, yet the result is 0.
    EXPECT_EQ(Parse({"-d", "4G", "--he"}), 0);
    EXPECT_EQ(display.errors.size(), 1u);
    EXPECT_TRUE(params.help_requested);
}

TEST_F(GetParams, LogMaskBeforeHelpSelectsTheExtendedText)
{
    EXPECT_EQ(Parse({"-X", "0x10000", "-h"}), 0);
    EXPECT_TRUE(params.log_mask_given);
    EXPECT_TRUE(params.help_requested);
    EXPECT_EQ(Log::package_bitmask, 0x10000u);

    Log::package_bitmask = 0;
    EXPECT_EQ(Parse({"-h", "-X", "0x10000"}), 0);
    EXPECT_FALSE(params.log_mask_given);
    EXPECT_TRUE(params.help_requested);
    EXPECT_EQ(Log::package_bitmask, 0u);
}

TEST_F(GetParams, LogMaskWithLeftoverCharactersIsNotActivated)
{
    EXPECT_EQ(Parse({"-X", "12G"}), 0);
    EXPECT_EQ(display.errors, Strings{"Invalid format for \"-X\" parameter, unprocessed characters [G]"});
    EXPECT_EQ(Log::package_bitmask, 0u);
    EXPECT_EQ(params.log_mask, 12u);
    EXPECT_TRUE(params.log_mask_given);
}

TEST_F(GetParams, LogMasksAccumulateAndTheLastIsKept)
{
    EXPECT_EQ(Parse({"-X", "5", "-X", "0X100"}), 0);
    EXPECT_EQ(Log::package_bitmask, 0x105u);
    EXPECT_EQ(params.log_mask, 0x100u);
}

TEST_F(GetParams, UeiBytesLoadNeedsOneOrTrue)
{
    const std::pair<const char*, bool> cases[] = {
        {"0", false}, {"TRUE", false}, {"false", false}, {"", false},
        {"1", true},  {"true", true},  {"10", true},     {"trueish", true},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Parse({std::string("-m=") + text}), 0);
        EXPECT_EQ(params.uei_bytes_load, expected);
    }
}

TEST_F(GetParams, UnhandledCommand)
{
    EXPECT_EQ(Parse({"-Y"}), 1);
    EXPECT_EQ(display.errors, Strings{"Unhandled command: [-Y]"});
}

TEST_F(GetParams, OverrideByAbbreviation)
{
    for (const char* word : {"-O", "-OVER", "-OVERRIDE"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(Parse({word}), 0);
        EXPECT_TRUE(params.override_model_checks);
        EXPECT_EQ(params.commands.Bits(), 0u);
    }
}

TEST_F(GetParams, AbbreviationsAndClumpsThatMatchNothing)
{
    EXPECT_EQ(Parse({"--h", "--htt", "-DG", "-d40F5849A"}), 0);
    EXPECT_EQ(params.commands.Bits(), 0u);
    EXPECT_FALSE(params.help_requested);
    EXPECT_EQ(params.device_serial, 0u);
    EXPECT_EQ(params.server_url, _default_http_url());
    EXPECT_TRUE(display.errors.empty());

    EXPECT_EQ(Parse({"--he"}), 0);
    EXPECT_TRUE(params.help_requested);
}

TEST_F(GetParams, TextParameters)
{
    EXPECT_EQ(Parse({"-i", "/srv/store", "-f", "fw.bird", "-l", "note", "-k", "x.log", "-s", "/dev/ttyS0", "-e", "-n",
                     "-b", "99528558", "-o", "230400"}),
              0);
    EXPECT_EQ(params.store_directory, "/srv/store");
    EXPECT_EQ(params.bird_file, "fw.bird");
    EXPECT_EQ(params.history_message, "note");
    EXPECT_EQ(params.log_file, "x.log");
    EXPECT_EQ(params.serial_port, "/dev/ttyS0");
    EXPECT_TRUE(params.echo_bytes);
    EXPECT_TRUE(params.option_n);
    EXPECT_EQ(params.build, "99528558");
    EXPECT_EQ(params.baud_rate, 230400);
}

TEST_F(GetParams, UnreadableBuildBecomesZero)
{
    EXPECT_EQ(Parse({"-b", "abc"}), 0);
    EXPECT_EQ(params.build, "0");
    EXPECT_EQ(Parse({"-b", "4294967296"}), 0);
    EXPECT_EQ(params.build, "0");
    EXPECT_EQ(Parse({"-b", "4294967295"}), 0);
    EXPECT_EQ(params.build, "4294967295");
}

TEST_F(GetParams, EveryErrorIsReported)
{
    EXPECT_EQ(Parse({"-d", "4G", "-t", "foo", "-Y", "-r", "0x", "--http", "--https"}), 1);
    EXPECT_EQ(display.errors.size(), 5u);
}

TEST_F(GetParams, ParametersAreLoggedUnderTheAppPackage)
{
    FILE* log = tmpfile();
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Parse({"-X", "0x10000", "-C"});
    std::string text(512, '\0');
    rewind(log);
    text.resize(fread(text.data(), 1, text.size(), log));
    fclose(log);
    EXPECT_EQ(text, "\nApplication parameters:[updater]\n\t[updater]\n\t[-X]\n\t[0x10000]\n\t[-C]\n");
}

TEST_F(GetParams, ReleaseFreesTheOwnedBuffer)
{
    Parse({});
    EXPECT_EQ(_release_params(&params), 0);
    EXPECT_TRUE(params.home_directory.empty());
    EXPECT_EQ(_release_params(nullptr), 0);
}

TEST(ArgumentConversion, HexAcceptsOnlyHexDigits)
{
    char* end = nullptr;
    const char* text = "40f5849A";
    EXPECT_EQ(_get_hex_arg(text, &end), 0x40F5849Au);
    EXPECT_EQ(end, text + 8);
    EXPECT_EQ(_get_hex_arg("FFFFFFFF", &end), 0xFFFFFFFFu);

    char* untouched = nullptr;
    EXPECT_EQ(_get_hex_arg("12G", &untouched), 0u);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(_get_hex_arg("0x12", &untouched), 0u);
    EXPECT_EQ(_get_hex_arg(" 12", &untouched), 0u);
    EXPECT_EQ(_get_hex_arg("", &untouched), 0u);
    EXPECT_EQ(_get_hex_arg("100000000", &untouched), 0u);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(_get_hex_arg("12", nullptr), 0u);
}

TEST(ArgumentConversion, DecimalAcceptsOnlyDigits)
{
    char* end = nullptr;
    EXPECT_EQ(_get_int_arg("115200", &end), 115200u);
    EXPECT_EQ(_get_int_arg("4294967295", &end), 4294967295u);
    char* untouched = nullptr;
    for (const char* text : {"-1", "+1", "1A", "", "4294967296", "99999999999999999999999"})
        EXPECT_EQ(_get_int_arg(text, &untouched), 0u) << text;
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(_get_int_arg("1", nullptr), 0u);
}

TEST_F(GetParams, JsonIsAFlagOfItsOwn)
{
    EXPECT_EQ(Parse({"-D", "--json", "-d", "40F5849A"}), 0);
    EXPECT_TRUE(params.json_output);
    EXPECT_EQ(params.commands.Bits(), static_cast<uint32_t>(CMD_DISCOVER)) << "--json is no command";
    EXPECT_EQ(params.device_serial, 0x40F5849Au);
    EXPECT_EQ(params.server_url, _default_http_url()) << "--json is not an update-server choice";
    EXPECT_TRUE(display.errors.empty());

    EXPECT_EQ(Parse({"-D", "--js"}), 0);  // "--j" is also "--jobs" and "--junit"
    EXPECT_TRUE(params.json_output);
    // Written with "=value" it is skipped like every flag.
    EXPECT_EQ(Parse({"-D", "--json=yes"}), 0);
    EXPECT_FALSE(params.json_output);
    EXPECT_EQ(Parse({"-D"}), 0);
    EXPECT_FALSE(params.json_output);
}

TEST_F(GetParams, AfterHelpOnlyJsonIsRead)
{
    // Standard output stays free of the version line under "--json", wherever it stands.
    EXPECT_EQ(Parse({"--he", "-D", "-d", "4G", "--json"}), 0);
    EXPECT_TRUE(params.help_requested);
    EXPECT_TRUE(params.json_output);
    EXPECT_FALSE(params.commands.IsSet(CMD_DISCOVER));
    EXPECT_EQ(params.device_serial, 0u);
    EXPECT_TRUE(display.errors.empty());
    // "--h" is still ambiguous: no help, the command runs.
    EXPECT_EQ(Parse({"--h", "-D"}), 0);
    EXPECT_FALSE(params.help_requested);
    EXPECT_TRUE(params.commands.IsSet(CMD_DISCOVER));
}

}  // namespace

TEST_F(GetParams, BatchOptionsAndTheirUnusableValues)
{
    const struct {
        std::vector<std::string> words;
        uint32_t jobs, canary, maxFailed, maxFailedPct;
        const char* invalid;
    } cases[] = {
        {{"--all"}, 8, 0, 0, 0, ""},
        {{"--all", "--jobs", "16", "--canary=2", "--max-failed", "3"}, 16, 2, 3, 0, ""},
        {{"--max-failed", "25%"}, 8, 0, 0, 25, ""},
        {{"--jobs", "0"}, 8, 0, 0, 0, "--jobs needs a whole number from 1 to 256, not '0'"},
        {{"--jobs", "257"}, 8, 0, 0, 0, "--jobs needs a whole number from 1 to 256, not '257'"},
        {{"--jobs", "abc", "--canary", "0"}, 8, 0, 0, 0, "--jobs needs a whole number from 1 to 256, not 'abc'"},
        {{"--canary", "x"}, 8, 0, 0, 0, "--canary needs a number of modules (1 or more), not 'x'"},
        {{"--max-failed", "101%"},
         8,
         0,
         0,
         0,
         "--max-failed needs a number of modules (1 or more) or a share such as 10%, not '101%'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = {"-U"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        SCOPED_TRACE(words.back());
        EXPECT_EQ(Parse(words), 0);
        EXPECT_EQ(params.batch.jobs, c.jobs);
        EXPECT_EQ(params.batch.canary, c.canary);
        EXPECT_EQ(params.batch.max_failed, c.maxFailed);
        EXPECT_EQ(params.batch.max_failed_pct, c.maxFailedPct);
        EXPECT_EQ(params.batch.invalid, c.invalid);
    }
    EXPECT_EQ(Parse({"-U", "--all", "--dry-run", "--force", "--junit", "r.xml"}), 0);
    EXPECT_TRUE(params.batch.all && params.batch.dry_run && params.batch.force && params.batch.given);
    EXPECT_EQ(params.batch.junit_file, "r.xml");
}

// "-U --watch": its values, and the combinations that are refused with one line.
TEST_F(GetParams, StationOptionsAndWhatTheyGoWith)
{
    EXPECT_EQ(Parse({"-U", "--watch", "--interval", "5", "--count", "4", "--log-dir", "logs", "--on-done", "x y",
                     "--jobs", "2", "--force"}),
              0);
    EXPECT_TRUE(params.batch.watch && params.batch.station_given && params.batch.force);
    EXPECT_EQ(params.batch.interval, 5u);
    EXPECT_EQ(params.batch.count, 4u);
    EXPECT_EQ(params.batch.log_dir, "logs");
    EXPECT_EQ(params.batch.on_done, "x y");

    const struct {
        std::vector<std::string> words;
        const char* refusal;  // "" when accepted
    } cases[] = {
        {{"-U", "--watch", "-t", "TCPIP", "--junit", "r.xml", "--verify"}, ""},
        {{"-U", "--watch", "--interval", "0"}, "--interval needs a whole number of seconds from 1 to 3600, not '0'"},
        {{"-U", "--watch", "--count", "none"}, "--count needs a number of modules (1 or more), not 'none'"},
        {{"-U", "--watch", "--interface", "192.0.2.1"}, ""},
        {{"-U", "--watch", "--interface", "eth0"},
         "--interface needs the IPv4 address of one of this host's interfaces, not 'eth0'"},
        {{"-D", "--watch"}, "--watch and its options go with -U"},
        {{"-U", "--all", "--watch"},
         "-U --all updates the modules found once, -U --watch those that appear: choose one"},
        {{"-U", "--all", "--count", "2"},
         "--interval, --log-dir, --on-done, --count and --interface go with -U --watch"},
        {{"-U", "--watch", "--dry-run"}, "--canary, --max-failed and --dry-run go with -U --all"},
        {{"-U", "--watch", "-d", "40F5849A"}, "-U --watch updates every module that appears: leave out -d"},
        {{"-U", "--watch", "-r", "0A0A0A0A"}, ""},
        {{"-U", "--watch", "-t", "RECOVER"},
         "-U --watch does not recover modules: -t RECOVER takes one module at a time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        ASSERT_EQ(Parse(c.words), 0);
        RecordingCLIDisplay shown;
        EXPECT_EQ(_check_batch_params(shown, params), *c.refusal == '\0');
        EXPECT_EQ(shown.errors, *c.refusal ? std::vector<std::string>{c.refusal} : std::vector<std::string>{});
    }
}
