// The reports of a batch run: the summary table, the JSON document and the JUnit XML
// file, with module names and failure texts that hold any bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/BatchReports.h"
#include "app/PrintableText.h"
#include "support/Process.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace {

using Strings = std::vector<std::string>;

// A name with a terminal escape, a byte that is no UTF-8 and a character XML forbids.
const std::string NASTY = "hub\x1b[2J\xff\x01<&>\"";

ModuleOutcome Module(uint32_t serial, BatchResult result, double seconds, uint32_t from = 0, uint32_t to = 0)
{
    ModuleOutcome module;
    module.serial = serial;
    module.model = "HubC4";
    module.result = result;
    module.seconds = seconds;
    module.fromBuild = from;
    module.fromVersion = from ? "2.15.0" : "";
    module.toBuild = to;
    module.toVersion = to ? "2.15.1" : "";
    return module;
}

BatchRun SampleRun()
{
    BatchRun run;
    run.batch = "b-17";
    run.seconds = 41.25;
    ModuleOutcome updated = Module(0x40F5849A, BatchResult::Updated, 12.34, 1000, 1001);
    updated.name = "Lab hub";
    updated.route = "USB";
    ModuleOutcome failed = Module(0x11111111, BatchResult::Failed, 3, 1000, 1001);
    failed.name = NASTY;
    failed.route = "TCPIP 192.0.2.1:9000";
    failed.message = "Link lost at WRITE\n" + NASTY;
    ModuleOutcome current = Module(0x22222222, BatchResult::Current, 0, 1001);
    current.model = "Router";
    current.route = "via 0A0A0A0A";
    ModuleOutcome skipped = Module(0x33333333, BatchResult::Skipped, 0);
    skipped.message = "too many failures";
    run.modules = {updated, failed, current, skipped, Module(0x44444444, BatchResult::Interrupted, 1)};
    return run;
}

struct TextCase {
    std::string in, table, xml;
};

class ReportText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ReportText, ControlsAndBadBytesAreMadeHarmless)
{
    EXPECT_EQ(_terminal_text(GetParam().in), GetParam().table);
    EXPECT_EQ(_xml_text(GetParam().in), GetParam().xml);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportText,
    ::testing::Values(TextCase{"Lab hub \xC3\xA9", "Lab hub \xC3\xA9", "Lab hub \xC3\xA9"},  // UTF-8 kept
                      TextCase{"a\x1b[2Jb", "a\\x1b[2Jb", "a\\x1b[2Jb"},                     // escape
                      TextCase{"a\tb\nc", "a\\x09b\\x0ac", "a\tb\nc"},                       // XML keeps these
                      TextCase{"\xC2\x9B", "\\u009b", "\xC2\x9B"},                           // C1 control
                      TextCase{"x\xff\xc3", "x\\xff\\xc3", "x\xEF\xBF\xBD\xEF\xBF\xBD"},     // no UTF-8
                      TextCase{"\xED\xA0\x80", "\\xed\\xa0\\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
                      TextCase{"\xEF\xBF\xBF", "\xEF\xBF\xBF", "\\xef\\xbf\\xbf"}));                        // U+FFFF

TEST(BatchReports, SummaryTableAndJsonDocument)
{
    testsupport::RecordingDisplay display;
    _display_batch_summary(display, SampleRun());
    const Strings lines = display.Infos();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "    Device    Model          From                 To                   Result      Seconds");
    EXPECT_EQ(lines[1], "    40F5849A  HubC4          2.15.0 (1000)        2.15.1 (1001)        updated        12.3");
    EXPECT_EQ(lines[2],
              "    11111111  HubC4          2.15.0 (1000)        2.15.1 (1001)        failed          3.0  "
              "Link lost at WRITE\\x0ahub\\x1b[2J\\xff\\x01<&>\"");
    EXPECT_EQ(lines[4],
              "    33333333  HubC4          -                    -                    skipped           -  "
              "too many failures");
    EXPECT_EQ(lines[6], "5 modules: 1 updated, 1 current, 1 failed, 1 skipped, 1 interrupted (41.2 s)");

    const nlohmann::json document = nlohmann::json::parse(_batch_json_document(SampleRun()));
    EXPECT_EQ(document["batch"], "b-17");
    EXPECT_EQ(document["summary"], nlohmann::json({{"modules", 5},
                                                   {"updated", 1},
                                                   {"current", 1},
                                                   {"failed", 1},
                                                   {"skipped", 1},
                                                   {"interrupted", 1},
                                                   {"seconds", 41.25}}));
    const nlohmann::json& failed = document["modules"][1];
    EXPECT_EQ(failed["serial"], "11111111");
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["name"], "hub\x1b[2J\xEF\xBF\xBD\x01<&>\"");
    EXPECT_EQ(failed["from"], nlohmann::json({{"version", "2.15.0"}, {"build", 1000}}));
    EXPECT_EQ(document["modules"][3]["to"], nullptr);
}

TEST(BatchReports, JUnitFileIsValidXmlWrittenWhole)
{
    testsupport::TempDir dir;
    const std::string path = dir / "r.xml";
    ASSERT_TRUE(dir.WriteFile("r.xml", "old"));
    std::string error;
    ASSERT_TRUE(_write_junit_report(SampleRun(), path, error)) << error;
    EXPECT_EQ(dir.List(), Strings{"r.xml"}) << "no temporary file stays";

    // An independent strict parser (expat) reads it back and sums it up.
    const char* const summarise = R"(
import sys, xml.etree.ElementTree as E
s = E.parse(sys.argv[1]).getroot().find('testsuite')
print(s.get('tests'), s.get('failures'), s.get('skipped'), s.get('time'))
for c in s.iter('testcase'):
    f = c.find('failure')
    print(c.get('name'), 'skipped' if c.find('skipped') is not None else
          ('%s|%s|%s' % (f.get('type'), f.get('message'), f.text)) if f is not None else 'passed')
)";
    const auto parsed = testsupport::RunProcess({"/usr/bin/python3", "-c", summarise, path});
    ASSERT_EQ(parsed.exit_status, 0) << parsed.err;
    EXPECT_EQ(parsed.out,
              "5 2 1 41.250\n"
              "40F5849A (Lab hub) passed\n"
              "11111111 (hub\\x1b[2J\xEF\xBF\xBD\\x01<&>\") failed|Link lost at WRITE|Link lost at WRITE\n"
              "hub\\x1b[2J\xEF\xBF\xBD\\x01<&>\"\n"
              "22222222 passed\n"
              "33333333 skipped\n"
              "44444444 interrupted|interrupted|interrupted\n");

    // A report that cannot be written says why and leaves nothing behind.
    EXPECT_FALSE(_write_junit_report(SampleRun(), dir / "missing/r.xml", error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_EQ(dir.List(), Strings{"r.xml"});
}

}  // namespace
