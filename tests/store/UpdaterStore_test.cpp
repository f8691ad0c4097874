// The firmware store: device directories, searches, listings and stored files.
#include "store/UpdaterStore.h"

#include "FileSizeLimit.h"
#include "common/Log.h"
#include "firmware/BirdWriter.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::TempDir;

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace {

std::string ThrownText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

bool IsDirectory(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

TEST(UpdaterStoreRoot, CreatedWhenMissingAndCheckedWhenPresent)
{
    TempDir dir;
    std::string root = dir / "home/.kestrune/updater";
    {
        LogCapture capture(DEBUG_Updater);
        UpdaterStore store(root.c_str());
        EXPECT_STREQ(store.BasePath(), root.c_str());
        EXPECT_TRUE(capture.Contains("UpdaterStore: Created directory [" + root + "].\n")) << capture.Text();
    }
    EXPECT_TRUE(IsDirectory(root));
    {
        LogCapture capture(DEBUG_Updater);
        UpdaterStore again(root.c_str());
        EXPECT_TRUE(capture.Contains("UpdaterStore: [" + root + "] already exists.\n"));
    }
    std::string file = dir.Write("plain", "x");
    EXPECT_EQ(ThrownText([&] { UpdaterStore store(file.c_str()); }), "UpdaterStore: " + file + " exists and is a file");
    std::string below = file + "/updater";
    EXPECT_EQ(ThrownText([&] { UpdaterStore store(below.c_str()); }),
              "UpdaterStore: Could not create directory " + below + " error 12");
}

TEST(UpdaterStoreDevice, AddDeviceCreatesTheDirectoryAndItsSettings)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem item = store.AddDevice(0x0ABC1234u);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "0ABC1234");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(IsDirectory(dir / "0ABC1234"));
    EXPECT_EQ(dir.List("0ABC1234"), std::vector<std::string>{".settings"});
    std::string settings = dir.Read("0ABC1234/.settings");
    EXPECT_EQ(settings.find("CREATED_TIME="), 0u) << settings;
    EXPECT_NE(settings.find("\nUPDATED_TIME="), std::string::npos) << settings;
    EXPECT_EQ(item.attributes.Path(), dir / "0ABC1234/.settings");

    // Adding it again finds what was recorded.
    item.attributes.Add("LATEST_DOWNLOAD", "12.bird");
    item.attributes.Save();
    UpdaterStoreItem again = store.AddDevice("0ABC1234");
    EXPECT_EQ(again.attributes.GetString("LATEST_DOWNLOAD", ""), "12.bird");
    EXPECT_EQ(again.attributes.GetInt("LATEST_DOWNLOAD", 0), 12);
    EXPECT_EQ(store.AddDevice(0x00000001u).name, "00000001");
}

TEST(UpdaterStoreDevice, AddDeviceRefusesFilesAndPaths)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    dir.Write("40F5849A", "not a directory");
    EXPECT_EQ(ThrownText([&] { store.AddDevice(0x40F5849Au); }),
              "UpdaterStore: " + dir / "40F5849A" + " exists and is a file");
    EXPECT_NE(ThrownText([&] { store.AddDevice("../escape"); }).find("UpdaterStore: invalid device name"),
              std::string::npos);
    EXPECT_NE(ThrownText([&] { store.AddDevice(".."); }).find("invalid device name"), std::string::npos);
    EXPECT_NE(ThrownText([&] { store.AddDevice(""); }).find("invalid device name"), std::string::npos);
    EXPECT_NE(ThrownText([&] { store.AddDevice(static_cast<const char*>(nullptr)); }).find("invalid device name"),
              std::string::npos);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"40F5849A"});
}

TEST(UpdaterStoreFind, FillsTheItemOrReportsNotFound)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    {
        LogCapture capture(DEBUG_Updater);
        UpdaterStoreItem item;
        EXPECT_FALSE(store.FindDevice(0x0ABC1234u, &item));
        EXPECT_FALSE(item.IsValid());
        EXPECT_TRUE(capture.Contains("UpdaterStore: FindDevice Not Found 0ABC1234.\n")) << capture.Text();
    }
    UpdaterStoreItem made = store.AddDevice(0x0ABC1234u);
    made.attributes.Add("K", "v");
    made.attributes.Save();

    LogCapture capture(DEBUG_Updater);
    UpdaterStoreItem item;
    EXPECT_TRUE(store.FindDevice(0x0ABC1234u, &item));
    EXPECT_TRUE(capture.Contains("UpdaterStore: FindDevice Found 0ABC1234.\n"));
    EXPECT_TRUE(capture.Contains("_find_item([" + dir / "0ABC1234" + "], 1, "));
    EXPECT_EQ(item.basePath, dir.path());
    EXPECT_EQ(item.name, "0ABC1234");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.attributes.GetString("K", ""), "v");
    EXPECT_TRUE(store.FindDevice("0ABC1234", nullptr));
}

TEST(UpdaterStoreFind, SubstringOfTheEntryNameNotOfTheRoot)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    store.AddDevice("10ABC12345");
    store.AddDevice(0x0ABC1234u);
    UpdaterStoreItem item;
    EXPECT_TRUE(store.FindDevice(0x0ABC1234u, &item));
    EXPECT_TRUE(item.name == "10ABC12345" || item.name == "0ABC1234") << item.name;

    // A root whose own path holds the serial number does not make every entry match.
    std::string root = dir / "0BADF00D-store";
    UpdaterStore named(root.c_str());
    named.AddDevice(0x11111111u);
    EXPECT_FALSE(named.FindDevice(0x0BADF00Du, nullptr));
    EXPECT_TRUE(named.FindDevice(0x11111111u, nullptr));

    UpdaterStore empty((dir / "empty").c_str());
    EXPECT_FALSE(empty.FindDevice("", nullptr));
}

TEST(UpdaterStoreFind, LocalBuildsSkipDotFiles)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    std::vector<UpdaterStoreItem> out;
    EXPECT_TRUE(store.FindLocalBuilds(0x0ABC1234u, out));
    EXPECT_TRUE(out.empty());

    UpdaterStoreItem device = store.AddDevice(0x0ABC1234u);
    dir.Write("0ABC1234/12.bird", BirdWriter().AddInfo(12, "1.2", 0, "M").FileBytes());
    dir.Write("0ABC1234/notes.txt", "notes");
    dir.Write("0ABC1234/.12.bird.tmp-1-0", "left over");
    out.push_back(UpdaterStoreItem());  // results are appended
    EXPECT_TRUE(store.FindLocalBuilds(0x0ABC1234u, out));
    ASSERT_EQ(out.size(), 3u);
    std::vector<std::string> names = {out[1].name, out[2].name};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"12.bird", "notes.txt"}));
    for (size_t i = 1; i < out.size(); i++) {
        EXPECT_EQ(out[i].kind, STORE_ITEM_FILE);
        EXPECT_EQ(out[i].basePath, dir / "0ABC1234");
    }
    // Listing wrote nothing into the device directory.
    EXPECT_EQ(dir.List("0ABC1234"),
              (std::vector<std::string>{".12.bird.tmp-1-0", ".settings", "12.bird", "notes.txt"}));
}

TEST(UpdaterStoreItemFiles, WriteFileReplacesAtomically)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    std::vector<uint8_t> first(3000, 0x11), second(5000, 0x22);

    EXPECT_EQ(device.WriteFile("12.bird", nullptr, 10), aErrNotFound);
    EXPECT_EQ(dir.List("40F5849A"), std::vector<std::string>{".settings"});

    EXPECT_EQ(device.WriteFile("12.bird", first.data(), first.size()), aErrNone);
    EXPECT_EQ(dir.Read("40F5849A/12.bird"), std::string(first.begin(), first.end()));
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(device.WriteFile("12.bird", second.data(), second.size()), aErrIO);
    }
    EXPECT_EQ(dir.Read("40F5849A/12.bird"), std::string(first.begin(), first.end()));
    EXPECT_EQ(dir.List("40F5849A"), (std::vector<std::string>{".settings", "12.bird"}));
    EXPECT_EQ(device.WriteFile("12.bird", second.data(), second.size()), aErrNone);
    EXPECT_EQ(dir.Read("40F5849A/12.bird").size(), second.size());
    EXPECT_EQ(device.WriteFile("empty", second.data(), 0), aErrNone);
    EXPECT_EQ(dir.Read("40F5849A/empty"), "");

    UpdaterStoreItem gone(dir.path().c_str(), "NOSUCHDIR", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("1.bird", first.data(), first.size()), aErrNotFound);
}

TEST(UpdaterStoreItemFiles, ReadBirdFileChecksTheHeaderFirst)
{
    TempDir dir;
    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    std::vector<uint8_t> image = BirdWriter().AddFirmware(0x1000, {1, 2, 3}).AddInfo(12, "1.2.3", 0, "M").FileBytes();
    ASSERT_EQ(device.WriteFile("12.bird", image.data(), image.size()), aErrNone);
    BirdFile file = device.ReadBirdFile("12.bird");
    EXPECT_EQ(file.blockCount, 2u);
    EXPECT_EQ(file.GetVersion(), "1.2.3");
    EXPECT_EQ(file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0].data[4], 1);

    dir.Write("40F5849A/text.bird", "just some text");
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("text.bird"); }), "Invalid bird " + dir / "40F5849A/text.bird");
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("none.bird"); }), "Invalid bird " + dir / "40F5849A/none.bird");
    std::vector<uint8_t> broken(image.begin(), image.begin() + 12);
    dir.Write("40F5849A/broken.bird", broken);
    EXPECT_EQ(ThrownText([&] { device.ReadBirdFile("broken.bird"); }), "Failed to load bird data");
}

TEST(UpdaterStoreItemFiles, FileExistsAndValidity)
{
    TempDir dir;
    UpdaterStoreItem none;
    EXPECT_FALSE(none.IsValid());
    EXPECT_EQ(none.kind, STORE_ITEM_NONE);
    EXPECT_TRUE(none.attributes.Path().empty());

    UpdaterStore store(dir.path().c_str());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    dir.Write("40F5849A/12.bird", "x");
    LogCapture capture(DEBUG_Updater);
    EXPECT_TRUE(device.FileExists("12.bird"));
    EXPECT_TRUE(capture.Contains("UpdaterStore: FindDevice Found 12.bird.\n"));
    EXPECT_FALSE(device.FileExists("13.bird"));
    EXPECT_TRUE(capture.Contains("UpdaterStore: FindDevice Not Found 13.bird.\n"));
    EXPECT_FALSE(device.FileExists("40F5849A"));  // the item's own directory name is not an entry
}

namespace {

// What the directory saw, in order: "closed NAME" when a temporary for NAME was closed
// (after its flush), "named NAME" when a file took NAME. The closes that lead the list
// happen at the same time and come sorted.
std::vector<std::string> DirectoryEvents(int watch)
{
    std::vector<std::string> events;
    alignas(inotify_event) char buffer[8192];
    ssize_t got = 0;
    while ((got = read(watch, buffer, sizeof buffer)) > 0)
        for (char* at = buffer; at < buffer + got;
             at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len) {
            const auto* event = reinterpret_cast<inotify_event*>(at);
            const std::string name = event->name;
            if (event->mask & IN_MOVED_TO)
                events.push_back("named " + name);
            else if (name.find(".tmp-") != std::string::npos)
                events.push_back("closed " + name.substr(1, name.find(".tmp-") - 1));
        }
    const auto closes = std::find_if(events.begin(), events.end(), [](auto& e) { return e.rfind("closed", 0) != 0; });
    std::sort(events.begin(), closes);
    return events;
}

}  // namespace

TEST(UpdaterStoreItemFiles, FileWithAttributesTakesItsNameFirstAndOnlyWhenBothAreOnDisk)
{
    struct Case {
        const char* what;
        rlim_t fileSizeLimit;  // 0: none
        bool settingsIsDirectory;
        bool keep;
        aErr result;
        std::vector<std::string> events;
        bool imageStored;
        bool attributesSaved;
    };
    const Case cases[] = {
        {"both written",
         0,
         false,
         true,
         aErrNone,
         {"closed .settings", "closed 12.bird", "named 12.bird", "named .settings"},
         true,
         true},
        {"the image refused by the disk", 4096, false, true, aErrIO, {"closed 12.bird"}, false, false},
        {"attributes that cannot take their name",
         0,
         true,
         true,
         aErrNone,
         {"closed .settings", "closed 12.bird", "named 12.bird"},
         true,
         false},
        {"both on disk, then not kept",
         0,
         false,
         false,
         aErrCancel,
         {"closed .settings", "closed 12.bird"},
         false,
         false},
    };
    const std::vector<uint8_t> image(5000, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        UpdaterStore store(dir.path().c_str());
        UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
        if (c.settingsIsDirectory) {
            ASSERT_EQ(unlink((dir / "40F5849A/.settings").c_str()), 0);
            ASSERT_EQ(mkdir((dir / "40F5849A/.settings").c_str(), 0755), 0);
        }
        device.attributes.Add("LATEST_DOWNLOAD", "12.bird");
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, (dir / "40F5849A").c_str(), IN_CLOSE_WRITE | IN_MOVED_TO), 0);
        {
            std::optional<FileSizeLimit> limit;
            if (c.fileSizeLimit)
                limit.emplace(c.fileSizeLimit);
            EXPECT_EQ(device.WriteFileWithAttributes("12.bird", image.data(), image.size(), [&c] { return c.keep; }),
                      c.result);
        }
        EXPECT_EQ(DirectoryEvents(watch), c.events);
        close(watch);
        EXPECT_EQ(dir.List("40F5849A"), c.imageStored ? (std::vector<std::string>{".settings", "12.bird"})
                                                      : std::vector<std::string>{".settings"});
        EXPECT_EQ(device.attributes.IsModified(), !c.attributesSaved);
        if (!c.settingsIsDirectory) {
            const bool named = dir.Read("40F5849A/.settings").find("LATEST_DOWNLOAD=12.bird") != std::string::npos;
            EXPECT_EQ(named, c.attributesSaved);
        }
    }
}
