// "make package": the Debian packages CPack builds from the build tree, their
// file lists and control data, and the programs unpacked from them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "InstallTree.h"
#include "app/Usage.h"
#include "common/aVersion.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using packagetest::FilesBelow;
using packagetest::LabPrograms;
using packagetest::UserFiles;
using testsupport::ProcessResult;
using testsupport::RunProcess;
using testsupport::TempDir;

// The one .deb in dir whose package name is given.
std::string Deb(const std::string& dir, const std::string& name)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".deb" && entry.path().filename().string().rfind(name + "_", 0) == 0)
            found.push_back(entry.path());
    EXPECT_EQ(found.size(), 1u) << name;
    return found.empty() ? "" : found[0];
}

std::string Field(const std::string& deb, const std::string& field)
{
    ProcessResult result = RunProcess({"dpkg-deb", "-f", deb, field});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result.out;
}

// Unpacks the package as dpkg would place it, below a scratch root.
std::set<std::string> Unpack(const std::string& deb, const TempDir& root)
{
    ProcessResult result = RunProcess({"dpkg", "-x", deb, root.path()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return FilesBelow(root.path());
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

void CheckUserPackage(const std::string& deb, const TempDir& root)
{
    EXPECT_EQ(Field(deb, "Package"), "updater\n");
    // dpkg shows the version the program's version line shows.
    EXPECT_EQ(Field(deb, "Version"), std::string(aVersion_GetString()) + "\n");
    // Dependencies come from the libraries the program links, each with the version
    // shlibdeps derives from the symbols it uses.
    const std::string depends = Field(deb, "Depends");
    for (const char* library :
         {"libc6", "libcurl4", "zlib1g", "libusb-1.0-0", "libhidapi-libusb0", "libzmq5", "libczmq4"})
        EXPECT_TRUE(Contains(depends, std::string(library) + " (>= ")) << depends;

    std::set<std::string> files = Unpack(deb, root);
    for (const std::string& file : UserFiles())
        EXPECT_TRUE(files.count("usr/" + file)) << file;
    // Beside them only further user programs: no lab program, nothing outside /usr.
    for (const std::string& file : files) {
        EXPECT_TRUE(UserFiles().count(file.substr(4)) || file.rfind("usr/bin/", 0) == 0) << file;
        EXPECT_FALSE(LabPrograms().count(file.substr(4))) << file << " belongs to the lab";
    }

    ProcessResult help = RunProcess({root / "usr/bin/updater", "-h"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Updater (" + _app_version_text() + ")\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, _usage_text(false, true));
    EXPECT_EQ(testsupport::ReadFile(root / "usr/lib/udev/rules.d/70-updater.rules"),
              testsupport::ReadFile(UPDATER_SOURCE_DIR "/contrib/udev/70-updater.rules"));
}

void CheckMaintainerScripts(const std::string& deb)
{
    TempDir control;
    ProcessResult extracted = RunProcess({"dpkg-deb", "-e", deb, control.path()});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
    EXPECT_TRUE(Contains(control.Read("postinst"), "udevadm control --reload-rules"));
    EXPECT_TRUE(Contains(control.Read("postinst"), "udevadm trigger"));
    EXPECT_TRUE(Contains(control.Read("postrm"), "udevadm control --reload-rules"));

    // Without udev (a chroot, a container) or with a udevadm that fails, the
    // package still installs and removes cleanly.
    TempDir bin;
    bin.Write("udevadm", "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(chmod((bin / "udevadm").c_str(), 0755), 0);
    testsupport::RunOptions options;
    options.env["PATH"] = bin.path() + ":/usr/bin:/bin";
    for (auto [script, action] : {std::pair<const char*, const char*>{"postinst", "configure"},
                                  {"postrm", "remove"},
                                  {"postrm", "purge"},
                                  {"postrm", "upgrade"}}) {
        ProcessResult run = RunProcess({"sh", "-e", control / script, action}, options);
        EXPECT_EQ(run.exit_status, 0) << script << " " << action << ": " << run.err;
    }
    EXPECT_EQ(testsupport::PathMode(control / "postinst") & 0111, 0111);
}

// `updater` is the program unpacked from the user's package.
void CheckLabPackage(const std::string& deb, const std::string& updater)
{
    EXPECT_EQ(Field(deb, "Package"), "updater-lab\n");
    EXPECT_TRUE(Contains(Field(deb, "Depends"), "umockdev")) << "usbrun's preload";
    TempDir root;
    std::set<std::string> files = Unpack(deb, root);
    for (const std::string& program : LabPrograms())
        EXPECT_TRUE(files.count("usr/" + program)) << program;
    for (const std::string& file : files) {
        EXPECT_EQ(file.rfind("usr/bin/", 0), 0u) << file;
        EXPECT_NE(file, "usr/bin/updater");
    }
    ProcessResult tool = RunProcess({root / "usr/bin/birdtool", "--help"});
    EXPECT_EQ(tool.exit_status, 0) << tool.err;

    // The unpacked usbrun puts a module on emulated USB where the updater finds it.
    TempDir store;
    ProcessResult usb = RunProcess({root / "usr/bin/usbrun", "--module", "serial=40F5849A", "--", updater, "-i",
                                    store.path(), "-u", "http://127.0.0.1:1/cgi/u", "-D", "-t", "USB"});
    EXPECT_EQ(usb.exit_status, 0) << usb.out << usb.err;
    EXPECT_TRUE(Contains(usb.out, "\n    40F5849A  02       00      HubC4")) << usb.out;
}

// One run of CPack (as "make package" does) for both packages; building them
// takes several seconds, so every check shares it.
TEST(Packages, UserAndLabPackagesInstallAndRun)
{
    TempDir output;
    testsupport::RunOptions options;
    options.kill_after_seconds = 600;
    ProcessResult build = RunProcess(
        {"cpack", "-G", "DEB", "--config", UPDATER_BINARY_DIR "/CPackConfig.cmake", "-B", output.path()}, options);
    ASSERT_EQ(build.exit_status, 0) << build.out << build.err;

    const std::string user = Deb(output.path(), "updater");
    const std::string lab = Deb(output.path(), "updater-lab");
    ASSERT_FALSE(user.empty() || lab.empty());
    TempDir userRoot;
    {
        SCOPED_TRACE("user package");
        CheckUserPackage(user, userRoot);
    }
    {
        SCOPED_TRACE("maintainer scripts");
        CheckMaintainerScripts(user);
    }
    {
        SCOPED_TRACE("lab package");
        CheckLabPackage(lab, userRoot / "usr/bin/updater");
    }
}

}  // namespace
