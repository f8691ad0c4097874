#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "unix/aDirectory.h"

using testsupport::TempDir;

namespace fs = std::filesystem;

namespace {

const char* const END = nullptr;

// Every entry under root, relative and sorted. A level can only be made
// after the one above it, so the set shows the order of creation too.
std::vector<std::string> entries(const std::string& root)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        names.push_back(fs::relative(entry.path(), root).string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(aDirectoryBuildPath, JoinsWithASingleSeparator)
{
    char out[64];
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "tmp", "x", END), aErrNone);
    EXPECT_STREQ(out, "tmp/x");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "tmp/", "x", END), aErrNone);
    EXPECT_STREQ(out, "tmp/x");
    EXPECT_EQ(aDirectory_JoinPath(out, sizeof out, "tmp", "/x"), aErrNone);
    EXPECT_STREQ(out, "tmp/x");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "only", END), aErrNone);
    EXPECT_STREQ(out, "only");
}

TEST(aDirectoryBuildPath, AtMostTenComponents)
{
    char out[64] = "stale";
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", END), aErrNone);
    EXPECT_STREQ(out, "0/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "a", END),
              aErrParam);
    EXPECT_STREQ(out, "");
}

TEST(aDirectoryBuildPath, RefusesTheOutputBufferAsAComponent)
{
    char out[64] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, out, "x", END), aErrParam);
    EXPECT_STREQ(out, "");
    strcpy(out, "abc");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "x", out, END), aErrParam);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 8, "x", END), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(out, 0, "x", END), aErrParam);
}

TEST(aDirectoryBuildPath, OverrunsNeverCutAComponent)
{
    char out[8];
    // A first component of size - 1 characters does not fit.
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "1234567", END), aErrOverrun);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "123456", END), aErrNone);
    // A later component that does not fit leaves the ones before it.
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "ab", "cd", "efgh", END), aErrOverrun);
    EXPECT_STREQ(out, "ab/cd/");
    // Every component must leave one byte spare besides the terminator.
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "ab", "cd", "e", END), aErrOverrun);
    EXPECT_EQ(aDirectory_BuildPath(out, sizeof out, "ab", "c", "e", END), aErrNone);
    EXPECT_STREQ(out, "ab/c/e");
    // Guard bytes after a small buffer stay untouched.
    char guarded[12];
    memset(guarded, '#', sizeof guarded);
    EXPECT_EQ(aDirectory_BuildPath(guarded, 4, "a", "bcdefghij", END), aErrOverrun);
    EXPECT_EQ(std::string(guarded + 4, 8), "########");
}

TEST(BuildPathString, AlwaysInsertsTheSeparator)
{
    EXPECT_EQ(BuildPath("a/", "b", END), "a//b");
    EXPECT_EQ(BuildPath("a", "b", "c", END), "a/b/c");
    EXPECT_EQ(BuildPath(std::string("store"), "40F5849A", "123.bird"), "store/40F5849A/123.bird");
    EXPECT_EQ(BuildPath("a", END, "ignored"), "a");
    std::string long_part(5000, 'x');
    EXPECT_EQ(BuildPath(long_part, "y").size(), 5002u);
}

TEST(aDirectoryEnsure, ExistingDirectoryIsLeftAlone)
{
    TempDir dir;
    EXPECT_EQ(aDirectory_Ensure(dir.path().c_str(), 0755), aErrNone);
    EXPECT_TRUE(entries(dir.path()).empty());
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(aDirectoryEnsure, CreatesEveryMissingLevelInOrder)
{
    TempDir dir;
    EXPECT_EQ(aDirectory_Ensure((dir / "x/y/z").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "x/y/z").c_str()));
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"x", "x/y", "x/y/z"}));
    struct stat status;
    ASSERT_EQ(stat((dir / "x/y").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0700, 0700u);
}

TEST(aDirectoryEnsure, ToleratesTrailingAndDoubledSeparators)
{
    TempDir dir;
    EXPECT_EQ(aDirectory_Ensure((dir / "a//b/").c_str(), 0755), aErrNone);
    EXPECT_TRUE(aDirectory_Exists((dir / "a/b").c_str()));
}

TEST(aDirectoryEnsure, RelativePathFromTheFirstLevel)
{
    TempDir dir;
    char previous[4096];
    ASSERT_EQ(aDirectory_CWD(previous, sizeof previous), aErrNone);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    aErr result = aDirectory_Ensure("p/q/r", 0755);
    bool made = aDirectory_Exists("p/q/r");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(result, aErrNone);
    EXPECT_TRUE(made);
}

TEST(aDirectoryEnsure, RegularFileInTheWayIsRefused)
{
    TempDir dir;
    dir.Write("file", "x");
    EXPECT_EQ(aDirectory_Ensure((dir / "file/sub").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir / "file/sub/deeper").c_str(), 0755), aErrPermission);
    // The path itself being a regular file is no success either.
    EXPECT_EQ(aDirectory_Ensure((dir / "file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(dir.Read("file"), "x");
}

TEST(aDirectoryList, VisitsEveryEntryWithSizeAndKind)
{
    TempDir dir;
    dir.Write("seven", "1234567");
    fs::create_directory((dir / "sub"));
    std::vector<std::string> seen;
    auto record = [](const aDirectoryListData* entry, void* ref) {
        auto* list = static_cast<std::vector<std::string>*>(ref);
        list->push_back(std::string(entry->path) + (entry->isDirectory ? " dir" : " " + std::to_string(entry->size)));
        return true;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), record, &seen), aErrNone);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{(dir / ".") + " dir", (dir / "..") + " dir", (dir / "seven") + " 7",
                                              (dir / "sub") + " dir"}));
}

TEST(aDirectoryList, StopsWhenTheCallbackSaysSo)
{
    TempDir dir;
    dir.Write("a", "");
    dir.Write("b", "");
    int calls = 0;
    auto once = [](const aDirectoryListData*, void* ref) {
        ++*static_cast<int*>(ref);
        return false;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), once, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
}

TEST(aDirectoryList, MissingDirectoryIsNotFound)
{
    TempDir dir;
    int calls = 0;
    auto count = [](const aDirectoryListData*, void* ref) {
        ++*static_cast<int*>(ref);
        return true;
    };
    EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), count, &calls), aErrNotFound);
    EXPECT_EQ(calls, 0);
}

TEST(aDirectoryDelete, EmptyOnly)
{
    TempDir dir;
    fs::create_directories((dir / "full/inner"));
    fs::create_directory((dir / "empty"));
    EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
    EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete((dir / "missing").c_str()), aErrUnknown);
}

TEST(aDirectoryDeleteTree, RemovesEverythingBelow)
{
    TempDir dir;
    fs::create_directories((dir / "tree/a/b"));
    dir.Write("tree/top", "1");
    dir.Write("tree/a/b/leaf", "2");
    EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists((dir / "tree")));
    EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNotFound);
}

TEST(aDirectoryDeleteTree, SymbolicLinksAreRemovedNotFollowed)
{
    TempDir dir;
    fs::create_directory((dir / "outside"));
    dir.Write("outside/keep", "precious");
    fs::create_directory((dir / "tree"));
    fs::create_directory_symlink((dir / "outside"), (dir / "tree/link"));
    EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists((dir / "tree")));
    EXPECT_EQ(dir.Read("outside/keep"), "precious");
}

TEST(aDirectoryPlaces, WorkingDirectoryAndExecutable)
{
    char buffer[4096];
    EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);

    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::canonical("/proc/self/exe"));
    size_t length = strlen(buffer);
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, length), aErrRead);
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, length + 1), aErrNone);
}

TEST(aDirectoryPlaces, HomeDirectoryIsCutToTheBuffer)
{
    char full[4096];
    EXPECT_EQ(aDirectory_GetHomeDirectory(full, sizeof full), aErrNone);
    passwd* user = getpwuid(geteuid());
    ASSERT_NE(user, nullptr);
    EXPECT_STREQ(full, user->pw_dir);
    char small[3];
    EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof small), aErrNone);
    EXPECT_EQ(std::string(small), std::string(full).substr(0, 2));
}
