// The history file as the front end writes and reads it: a damaged, foreign or
// full file never costs the record being written nor the records around it,
// and reading a huge one takes bounded memory.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/History.h"
#include "store/HistoryFile.h"
#include "support/Process.h"
#include "support/RecordingDisplay.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

json Record(const std::string& serial, const std::string& time)
{
    HistoryEntry entry;
    entry.serial = std::stoul(serial, nullptr, 16);
    entry.time = time;
    entry.ok = true;
    return _history_record(entry, Outcome());
}

void Write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

struct Case {
    const char* name;
    std::function<void(const std::string& dir)> prepare;
    bool appended;    // the new record could be written
    size_t records;   // records --history shows afterwards
    size_t warnings;  // warnings while showing
};

const Case CASES[] = {
    {"empty store", [](const std::string&) {}, true, 1, 0},
    {"torn last line",
     [](const std::string& dir) {
         Write(dir + "/history.jsonl", Record("0A0A0A0A", "2026-01-01").dump() + "\n{\"time\": \"2026-01-0");
     },
     true, 2, 1},
    {"binary file",
     [](const std::string& dir) {
         std::string noise;
         for (uint32_t i = 0; i < (1u << 20); ++i)
             noise.push_back(char((i * 7919u) % 251u));
         Write(dir + "/history.jsonl", noise);
     },
     true, 1, 6},  // five lines named, then the count of the rest
    {"one line of 20 MiB",
     [](const std::string& dir) { Write(dir + "/history.jsonl", std::string(20u << 20, '{') + "\n"); }, true, 1, 1},
    {"history is a directory", [](const std::string& dir) { fs::create_directory(dir + "/history.jsonl"); }, false, 0,
     1},
    {"disk full", [](const std::string& dir) { fs::create_symlink("/dev/full", dir + "/history.jsonl"); }, false, 0, 1},
    // A pipe would block the reader for ever, holding the lock every writer waits for.
    {"history is a pipe", [](const std::string& dir) { mkfifo((dir + "/history.jsonl").c_str(), 0600); }, false, 0, 1},
    {"fields of the wrong types",
     [](const std::string& dir) {
         json wrong[] = {Record("0A0A0A0A", "2026-01-01"), Record("0A0A0A0A", "2026-01-02"),
                         Record("0A0A0A0A", "2026-01-03"), Record("0A0A0A0A", "2026-01-04")};
         wrong[0]["time"] = 5;
         wrong[1]["serial"] = 7;
         wrong[2]["command"] = json::array({"update"});
         wrong[3]["verified"] = "yes";
         std::string lines = Record("0A0A0A0A", "2026-01-05").dump() + "\n";
         for (const json& record : wrong)
             lines += record.dump() + "\n";
         Write(dir + "/history.jsonl", lines);
     },
     true, 2, 4},
};

}  // namespace

TEST(History, DamagedOrUnwritableFilesCostNothingElse)
{
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        c.prepare(dir.path());
        testsupport::RecordingDisplay display;
        _append_history(display, dir.path(), Record("40F5849A", "2026-12-07T10:00:00.000Z"));
        ASSERT_EQ(display.Errors().size(), c.appended ? 0u : 1u);
        if (!c.appended) {
            EXPECT_EQ(display.Errors()[0].rfind("Warning: the history was not written: ", 0), 0u);
        }

        testsupport::RecordingDisplay shown;
        std::string document;
        _show_history(shown, dir.path(), 0, &document);
        EXPECT_EQ(document.empty() ? 0u : json::parse(document).size(), c.records) << document;
        EXPECT_EQ(shown.Errors().size(), c.warnings);
        if (c.appended) {
            EXPECT_EQ(json::parse(document)[0]["serial"], "40F5849A") << "newest first";
        }
    }
}

TEST(History, RotationKeepsBothFilesReadableAndDeviceFilterSelects)
{
    testsupport::TempDir dir;
    std::string old;
    const std::string line = Record("0A0A0A0A", "2026-01-01T00:00:00.000Z").dump() + "\n";
    while (old.size() <= HistoryFile::ROTATE_BYTES)
        old += line;
    Write(dir / "history.jsonl", old);

    testsupport::RecordingDisplay display;
    _append_history(display, dir.path(), Record("40F5849A", "2026-12-07T10:00:00.000Z"));
    EXPECT_TRUE(display.Errors().empty());
    EXPECT_EQ(fs::file_size(dir / "history.jsonl.1"), old.size());
    EXPECT_EQ(fs::file_size(dir / "history.jsonl"), Record("40F5849A", "2026-12-07T10:00:00.000Z").dump().size() + 1);

    std::string all, one;
    EXPECT_TRUE(_show_history(display, dir.path(), 0, &all));
    EXPECT_EQ(json::parse(all).size(), old.size() / line.size() + 1);
    EXPECT_TRUE(_show_history(display, dir.path(), 0x40F5849A, &one));
    EXPECT_EQ(json::parse(one).size(), 1u);
    EXPECT_TRUE(display.Errors().empty());
}

TEST(History, AHugeFileIsReadInBoundedMemory)
{
    testsupport::TempDir dir;
    {
        std::ofstream out(dir / "history.jsonl", std::ios::binary);
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 96; ++i)
            out << chunk;  // 96 MiB, one endless line
    }
    // In a child, so that the peak counts this read alone.
    testsupport::ProcessResult child = testsupport::RunInChild([&] {
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        testsupport::RecordingDisplay display;
        std::string document;
        _show_history(display, dir.path(), 0, &document);
        getrusage(RUSAGE_SELF, &after);
        printf("%ld %zu\n", after.ru_maxrss - before.ru_maxrss, display.Errors().size());
    });
    long grown_kib = 0;
    size_t warnings = 0;
    ASSERT_EQ(sscanf(child.out.c_str(), "%ld %zu", &grown_kib, &warnings), 2) << child.out << child.err;
    EXPECT_LT(grown_kib, 8 * 1024);
    EXPECT_EQ(warnings, 1u);
}
