// Attribute files: the line rules, typed getters, change tracking and saving.
#include "store/KeyValueStore.h"

#include "FileSizeLimit.h"
#include "common/Log.h"
#include "store/AtomicFile.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::TempDir;

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

namespace {

std::string Value(const KeyValueStore& store, const char* key)
{
    const char* value = store[key];
    return value ? value : "<absent>";
}

const std::regex TIME_TEXT("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

}  // namespace

TEST(KeyValueStoreRead, LineRules)
{
    TempDir dir;
    std::string path = dir.Write("a.settings",
                                 "  NAME =  some value  \n#X=1\nA=b=c\nQ=\n\n"
                                 "  #Y=2\nK\t= tabbed\t\r\nDUP=1\nDUP=2\nno equals here\nB\n"
                                 "A=\nLAST=no line feed");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(Value(store, "NAME"), "some value");
    EXPECT_EQ(Value(store, "X"), "<absent>");
    EXPECT_EQ(Value(store, "#X"), "<absent>");
    EXPECT_EQ(Value(store, "#Y"), "2");  // "#" after spaces is not a comment
    EXPECT_EQ(Value(store, "Q"), "");
    EXPECT_EQ(Value(store, "K"), "tabbed");
    EXPECT_EQ(Value(store, "DUP"), "2");
    EXPECT_EQ(Value(store, "A"), "");  // three characters with the line feed: read
    EXPECT_EQ(Value(store, "B"), "<absent>");
    EXPECT_EQ(Value(store, "LAST"), "no line feed");
    EXPECT_EQ(store.Entries().size(), 7u);
    EXPECT_EQ(store.Path(), path);
    EXPECT_FALSE(store.IsModified());

    KeyValueStore inner(dir.Write("b.settings", "A=b=c\n").c_str());
    EXPECT_EQ(Value(inner, "A"), "b=c");
}

TEST(KeyValueStoreRead, LineTooLongEndsReading)
{
    TempDir dir;
    std::string fits = "F=" + std::string(2044, 'f') + "\n";  // 2047 characters with the line feed
    std::string tooLong = "L=" + std::string(2045, 'l') + "\n";
    KeyValueStore store(dir.Write("s", "A=1\n" + fits + tooLong + "Z=1\n").c_str());
    EXPECT_EQ(Value(store, "A"), "1");
    EXPECT_EQ(Value(store, "F").size(), 2044u);
    EXPECT_EQ(Value(store, "L"), "<absent>");
    EXPECT_EQ(Value(store, "Z"), "<absent>");
}

TEST(KeyValueStoreRead, LoadAddsOverExistingEntries)
{
    TempDir dir;
    KeyValueStore store;
    store.Add("KEEP", "me");
    store.Add("A", "old");
    store.Load(dir.Write("s", "A=new\n").c_str());
    EXPECT_EQ(Value(store, "KEEP"), "me");
    EXPECT_EQ(Value(store, "A"), "new");
    EXPECT_FALSE(store.IsModified());
}

TEST(KeyValueStoreRead, MissingFileIsCreatedWithBothStamps)
{
    TempDir dir;
    std::string path = dir / ".settings";
    LogCapture capture(DEBUG_Attributes);
    KeyValueStore store(path.c_str());
    EXPECT_TRUE(capture.Contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"))
        << capture.Text();
    std::string created = Value(store, "CREATED_TIME");
    EXPECT_TRUE(std::regex_match(created, TIME_TEXT)) << created;
    EXPECT_EQ(dir.Read(".settings"), "CREATED_TIME=" + created + "\nUPDATED_TIME=" + created + "\n");
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(dir.List(), std::vector<std::string>{".settings"});
}

TEST(KeyValueStoreRead, MissingDirectoryLeavesTheTwoStampsInMemory)
{
    TempDir dir;
    std::string path = dir / "nowhere/.settings";
    LogCapture capture(DEBUG_Attributes);
    KeyValueStore store(path.c_str());
    EXPECT_TRUE(capture.Contains("cannot open attributes file: '" + path + "'"));
    EXPECT_TRUE(capture.Contains("Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n"))
        << capture.Text();
    EXPECT_EQ(store.Entries().size(), 2u);
    EXPECT_NE(store["UPDATED_TIME"], nullptr);
    EXPECT_EQ(dir.List(), std::vector<std::string>{});
}

// A settings file that is there but cannot be read, or not to its end, keeps its
// bytes: not replaced by a fresh one at the load, nor by a later save of the
// store. The cases: a directory at the path, a file without permissions (which
// do not stop root), a line longer than the store reads.
class KeyValueStoreUnreadable : public ::testing::TestWithParam<std::string> {};

TEST_P(KeyValueStoreUnreadable, FileIsNeverWrittenOver)
{
    const std::string kind = GetParam();
    if (kind == "NoPermission" && geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root from reading";
    TempDir dir;
    const std::string path = dir / ".settings";
    const std::string bytes = kind == "LongLine" ? "KEPT=1\nLONG=" + std::string(3000, 'x') + "\nLAST=2\n" : "KEPT=1\n";
    if (kind == "Directory") {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    } else {
        dir.Write(".settings", bytes);
    }
    if (kind == "NoPermission") {
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
    }
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store["LAST"], nullptr);
    store.Add("NEW", "2");
    EXPECT_NE(store.Save(), 0);
    EXPECT_EQ(store.Stage(), nullptr);
    EXPECT_EQ(store.Path(), path);
    EXPECT_EQ(dir.List(), std::vector<std::string>{".settings"});  // no temporary left behind
    if (kind == "Directory") {
        EXPECT_TRUE(std::filesystem::is_directory(path));
    } else {
        chmod(path.c_str(), 0600);
        EXPECT_EQ(dir.Read(".settings"), bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyValueStoreUnreadable, ::testing::Values("Directory", "NoPermission", "LongLine"),
                         [](const auto& info) { return info.param; });

TEST(KeyValueStoreGet, TypedGettersAndDefaults)
{
    TempDir dir;
    KeyValueStore store(dir.Write("s",
                                  "HEX=0x0000001F\nTWO=2\nZERO=0\nWORD=true\nNEG= -12abc\n"
                                  "BIG=99999999999\nD=2.5e1\nJUNK=zz\nEMPTY=\nHEXBIG=0x1FFFFFFFF\n")
                            .c_str());
    EXPECT_EQ(store.GetHex("HEX", 5), 31u);
    EXPECT_EQ(store.GetHex("HEXBIG", 5), 0xFFFFFFFFu);
    EXPECT_EQ(store.GetHex("JUNK", 5), 0u);
    EXPECT_TRUE(store.GetBOOL("TWO", false));
    EXPECT_FALSE(store.GetBOOL("ZERO", true));
    EXPECT_FALSE(store.GetBOOL("WORD", true));
    EXPECT_EQ(store.GetInt("NEG", 1), -12);
    EXPECT_EQ(store.GetInt("JUNK", 1), 0);
    EXPECT_EQ(store.GetInt("BIG", 1), INT_MAX);
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 1.0), 25.0);
    EXPECT_DOUBLE_EQ(store.GetDouble("JUNK", 1.0), 0.0);
    EXPECT_EQ(store.GetInt("EMPTY", 7), 7);
    EXPECT_TRUE(store.GetBOOL("EMPTY", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("EMPTY", 1.5), 1.5);
    EXPECT_EQ(store.GetString("EMPTY", "x"), "");  // present, though empty
}

TEST(KeyValueStoreGet, AbsentKeysCreatedByTypedGettersOnly)
{
    TempDir dir;
    std::string path = dir.Write("s", "");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetString("S", "x"), "x");
    EXPECT_EQ(store.GetString("S", nullptr), "");
    EXPECT_EQ(store["S"], nullptr);
    EXPECT_EQ(store.GetInt("N", 7), 7);
    EXPECT_EQ(store.GetHex("H", 0xAB), 0xABu);
    ASSERT_NE(store["N"], nullptr);
    EXPECT_STREQ(store["N"], "");
    store.Save();
    EXPECT_EQ(dir.Read("s"), "H=\nN=\n");
}

TEST(KeyValueStoreAdd, ValueTextsAndChangeTracking)
{
    TempDir dir;
    std::string path = dir.Write("s", "SAME=1\n");
    KeyValueStore store(path.c_str());
    store.AddHex("HEX", 255);
    store.Add("DOUBLE", 2.5);
    store.Add("INT", -3);
    store.Add("NULL", static_cast<const char*>(nullptr));
    EXPECT_EQ(Value(store, "HEX"), "0x000000FF");
    EXPECT_EQ(Value(store, "DOUBLE"), "2.500000");
    EXPECT_EQ(Value(store, "INT"), "-3");
    EXPECT_EQ(Value(store, "NULL"), "");
    EXPECT_EQ(Value(store, "SAME"), "1");
    store.Add("BIGDOUBLE", 1e300);
    EXPECT_EQ(Value(store, "BIGDOUBLE").size(), 301u + 7u);

    KeyValueStore unchanged(path.c_str());
    EXPECT_TRUE(unchanged.Add("SAME", 1));
    EXPECT_TRUE(unchanged.Add("SAME", "1"));
    EXPECT_FALSE(unchanged.IsModified());
    unchanged.Save();
    EXPECT_EQ(dir.Read("s"), "SAME=1\n");  // no UPDATED_TIME without a change

    EXPECT_TRUE(unchanged.Add("SAME", std::string("2")));
    EXPECT_TRUE(unchanged.IsModified());
    unchanged.Save();
    EXPECT_FALSE(unchanged.IsModified());
    EXPECT_TRUE(std::regex_match(Value(unchanged, "UPDATED_TIME"), TIME_TEXT));
    EXPECT_EQ(dir.Read("s"), "SAME=2\nUPDATED_TIME=" + Value(unchanged, "UPDATED_TIME") + "\n");
}

TEST(KeyValueStoreAdd, StoresAndClearing)
{
    KeyValueStore a, b, empty;
    b.Add("X", "1");
    b.Add("Y", "2");
    a.Add("X", "0");
    KeyValueStore clean(a);
    EXPECT_TRUE(clean.IsModified());  // copies carry the flag

    KeyValueStore fresh;
    EXPECT_TRUE(fresh.Add(empty));
    EXPECT_FALSE(fresh.IsModified());
    EXPECT_TRUE(fresh.Add(b));
    EXPECT_TRUE(fresh.IsModified());
    EXPECT_EQ(Value(fresh, "Y"), "2");

    a.Add(b);
    EXPECT_EQ(Value(a, "X"), "1");
    KeyValueStore copy;
    copy = a;
    EXPECT_EQ(copy.Entries(), a.Entries());
    EXPECT_TRUE(copy.Clear());
    EXPECT_TRUE(copy.Entries().empty());
    EXPECT_TRUE(copy.IsModified());
    EXPECT_EQ(a.Entries().size(), 2u);
}

TEST(KeyValueStoreSave, KeysInByteOrder)
{
    TempDir dir;
    KeyValueStore store;
    store.Add("a", "1");
    store.Add("B", "2");
    store.Add("Aa", "3");
    store.Add("A_1", "4");
    store.Save((dir / "s").c_str());
    std::string text = dir.Read("s");
    EXPECT_LT(text.find("B=2"), text.find("a=1"));
    EXPECT_LT(text.find("A_1=4"), text.find("Aa=3"));
    EXPECT_EQ(text.find("A_1=4"), 0u);
}

TEST(KeyValueStoreSave, DefaultFileNameInTheWorkingDirectory)
{
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        LogCapture capture(DEBUG_Attributes);
        KeyValueStore store;
        store.Add("K", "v");
        store.Save();
        EXPECT_TRUE(capture.Contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
        EXPECT_EQ(store.Path(), ".settings");
    }
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_NE(dir.Read(".settings").find("K=v\n"), std::string::npos);
}

TEST(KeyValueStoreSave, FailedWriteKeepsThePreviousFileAndTheChange)
{
    TempDir dir;
    std::string path = dir.Write("s", "OLD=1\n");
    KeyValueStore store(path.c_str());
    store.Add("NEW", std::string(4000, 'n'));
    {
        FileSizeLimit limit(1000);
        LogCapture capture(DEBUG_Attributes);
        store.Save();
        EXPECT_TRUE(capture.Contains("Attibutes: Error - cannot write attributes file: '" + path + "'"))
            << capture.Text();
    }
    EXPECT_EQ(dir.Read("s"), "OLD=1\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"s"});  // no temporary left behind
    EXPECT_TRUE(store.IsModified());
    store.Save();
    EXPECT_NE(dir.Read("s").find("NEW=nnnn"), std::string::npos);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"s"});
}
