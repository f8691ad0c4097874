// "make install": the staged tree of every component, of each one alone, and
// of the Makefile target with PREFIX and DESTDIR.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "InstallTree.h"
#include "app/Usage.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using packagetest::FilesBelow;
using packagetest::LabPrograms;
using packagetest::UserFiles;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::TempDir;

// cmake --install of the build tree into DESTDIR=destdir.
ProcessResult Install(const std::string& destdir, const std::string& prefix, const std::string& component = "")
{
    std::vector<std::string> argv = {"cmake", "--install", UPDATER_BINARY_DIR, "--prefix", prefix};
    if (!component.empty())
        argv.insert(argv.end(), {"--component", component});
    RunOptions options;
    options.env["DESTDIR"] = destdir;
    return testsupport::RunProcess(argv, options);
}

std::set<std::string> Prefixed(const std::string& prefix, const std::set<std::string>& files)
{
    std::set<std::string> out;
    for (const std::string& file : files)
        out.insert(prefix + file);
    return out;
}

bool Includes(const std::set<std::string>& all, const std::set<std::string>& part)
{
    for (const std::string& file : part)
        if (!all.count(file))
            return false;
    return true;
}

std::string Show(const std::set<std::string>& files)
{
    std::string text;
    for (const std::string& file : files)
        text += "  " + file + "\n";
    return text;
}

bool Executable(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 0111) == 0111;
}

TEST(Install, EveryComponentIntoAStagingDirectory)
{
    TempDir stage;
    ProcessResult result = Install(stage.path(), "/usr");
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

    std::set<std::string> files = FilesBelow(stage.path());
    EXPECT_TRUE(Includes(files, Prefixed("usr/", UserFiles()))) << Show(files);
    EXPECT_TRUE(Includes(files, Prefixed("usr/", LabPrograms()))) << Show(files);
    // Nothing else but further programs: no headers, static libraries or test programs.
    for (const std::string& file : files) {
        const bool known = file.rfind("usr/", 0) == 0 && UserFiles().count(file.substr(4));
        EXPECT_TRUE(known || file.rfind("usr/bin/", 0) == 0) << file;
        EXPECT_EQ(file.find("/test_"), std::string::npos) << file;
    }

    // The files are the project's own, the programs executable.
    EXPECT_EQ(ReadFile(stage / "usr/lib/udev/rules.d/70-updater.rules"),
              ReadFile(UPDATER_SOURCE_DIR "/contrib/udev/70-updater.rules"));
    EXPECT_EQ(ReadFile(stage / "usr/share/man/man1/updater.1"), ReadFile(UPDATER_SOURCE_DIR "/doc/updater.1"));
    EXPECT_EQ(ReadFile(stage / "usr/share/bash-completion/completions/updater"),
              ReadFile(UPDATER_SOURCE_DIR "/contrib/bash-completion/updater"));
    for (const char* program :
         {"usr/bin/updater", "usr/bin/module-server", "usr/bin/vmodule", "usr/bin/update-server", "usr/bin/birdtool"})
        EXPECT_TRUE(Executable(stage / program)) << program;
    EXPECT_EQ(ReadFile(stage / "usr/lib/systemd/system/module-server@.service"),
              ReadFile(UPDATER_SOURCE_DIR "/contrib/systemd/module-server@.service"));

    // The installed program runs from its new place.
    ProcessResult help = testsupport::RunProcess({stage / "usr/bin/updater", "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Updater (" + _app_version_text() + ")\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, _usage_text(false, true));
}

// systemd finds nothing to object to in the service units (module-server's,
// the station's, the agent's). It looks the program up on the host, where it is not
// installed: each unit is checked with the staged program's full path in its place.
class ServiceUnit : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(ServiceUnit, Verifies)
{
    if (testsupport::RunProcess({"sh", "-c", "command -v systemd-analyze"}).exit_status != 0)
        GTEST_SKIP() << "no systemd-analyze";
    const auto& [name, program] = GetParam();
    TempDir stage, units;
    ASSERT_EQ(Install(stage.path(), "/usr", "updater").exit_status, 0);
    std::string unit = ReadFile(stage / ("usr/lib/systemd/system/" + name));
    const std::string command = "ExecStart=" + program + " ";
    size_t at = unit.find(command);
    ASSERT_NE(at, std::string::npos) << unit;
    unit.replace(at, command.size(), "ExecStart=" + (stage / ("usr/bin/" + program)) + " ");
    units.Write(name, unit);
    ProcessResult verify = testsupport::RunProcess({"systemd-analyze", "verify", "--man=no", units / name});
    EXPECT_EQ(verify.exit_status, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out + verify.err, "");
}

INSTANTIATE_TEST_SUITE_P(Install, ServiceUnit,
                         ::testing::Values(std::make_pair("module-server@.service", "module-server"),
                                           std::make_pair("updater-station.service", "updater"),
                                           std::make_pair("updater-agent.service", "updater-agent")));

TEST(Install, UserAndLabComponentsAreApart)
{
    TempDir user, lab;
    ProcessResult user_result = Install(user.path(), "/usr", "updater");
    ASSERT_EQ(user_result.exit_status, 0) << user_result.err;
    ProcessResult lab_result = Install(lab.path(), "/usr", "lab");
    ASSERT_EQ(lab_result.exit_status, 0) << lab_result.err;

    std::set<std::string> user_files = FilesBelow(user.path());
    std::set<std::string> lab_files = FilesBelow(lab.path());
    EXPECT_TRUE(Includes(user_files, Prefixed("usr/", UserFiles()))) << Show(user_files);
    EXPECT_TRUE(Includes(lab_files, Prefixed("usr/", LabPrograms()))) << Show(lab_files);
    for (const std::string& file : user_files)
        EXPECT_FALSE(LabPrograms().count(file.substr(4))) << file << " belongs to the lab";
    for (const std::string& file : lab_files) {
        EXPECT_EQ(file.rfind("usr/bin/", 0), 0u) << file << ": the lab holds programs only";
        EXPECT_FALSE(user_files.count(file)) << file << " is in both";
    }
}

TEST(Install, MakefileHonoursPrefixAndDestdir)
{
    TempDir stage;
    RunOptions options;
    // The target's build step finds everything built; a parent make's job
    // server is not passed on.
    options.env["MAKEFLAGS"] = "";
    options.env["MAKELEVEL"] = "";
    options.kill_after_seconds = 600;
    ProcessResult result =
        testsupport::RunProcess({"make", "-s", "-C", UPDATER_SOURCE_DIR, "install", "BUILD=" UPDATER_BINARY_DIR,
                                 "PREFIX=/opt/lab tools", "DESTDIR=" + stage.path()},
                                options);
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;

    std::set<std::string> files = FilesBelow(stage.path());
    EXPECT_TRUE(Includes(files, Prefixed("opt/lab tools/", UserFiles()))) << Show(files);
    EXPECT_TRUE(Includes(files, Prefixed("opt/lab tools/", LabPrograms()))) << Show(files);
    for (const std::string& file : files)
        EXPECT_EQ(file.rfind("opt/lab tools/", 0), 0u) << file << " outside the prefix";
}

}  // namespace
