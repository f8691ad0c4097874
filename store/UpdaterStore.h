#pragma once
// The local firmware store: a root directory holding one directory per device, named
// with the device's serial number ("%08X"). Each device directory holds the ".settings"
// attribute file and the downloaded images ("<build>.bird").
//
// UpdaterStore finds and creates device directories; UpdaterStoreItem is one entry of
// the store (a device directory, or a file inside one) with its attributes.
#include "firmware/BirdFile.h"
#include "store/KeyValueStore.h"
#include "unix/aError.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    // Loads (or creates) the attributes from basePath / name / ".settings".
    UpdaterStoreItem(const char* basePath, const char* name, store_item_t kind);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // basePath / name
    std::string Path() const;

    // Whether an entry of the item's directory is named with fileName in it.
    bool FileExists(const char* fileName) const;
    // Writes basePath / name / fileName atomically. aErrNotFound when data is null or the
    // file cannot be created, aErrIO when it cannot be written; the previous file stays.
    aErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length);
    // WriteFile with the attributes saved alongside. Both files go to disk at the same
    // time; then keep, when given, decides (aErrCancel: nothing changes); then the file
    // takes its name before the attributes do, and the directory is synced. A crash
    // leaves the old pair, the new file with the old attributes, or both new: never
    // attributes naming a file that is not wholly on disk. Attributes that cannot be
    // saved (logged) keep their previous file and fail nothing.
    aErr WriteFileWithAttributes(const char* fileName, const unsigned char* data, unsigned long length,
                                 const std::function<bool()>& keep = {});
    // Loads basePath / name / fileName; throws std::runtime_error "Invalid bird <path>"
    // when the header test fails, "Failed to load bird data" when loading fails.
    BirdFile ReadBirdFile(const char* fileName) const;

    std::string basePath;
    std::string name;
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore attributes;

private:
    aErr _write_file(const char* fileName, const unsigned char* data, unsigned long length, bool withAttributes,
                     const std::function<bool()>& keep);
};

// What a directory search hands to its listing callback.
struct result_t {
    bool found = false;
    std::string search;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
public:
    // Creates the root directory when missing; throws std::runtime_error with a text
    // beginning "UpdaterStore: " when it cannot be created or is not a directory.
    explicit UpdaterStore(const char* path);

    const char* BasePath() const { return root.c_str(); }

    // The device's directory, created when missing (throws as the constructor does).
    UpdaterStoreItem AddDevice(const char* name);
    UpdaterStoreItem AddDevice(unsigned int serialNumber);

    // The first entry of the root whose name contains the given text; fills item when
    // one is given and found.
    bool FindDevice(const char* name, UpdaterStoreItem* item);
    bool FindDevice(unsigned int serialNumber, UpdaterStoreItem* item);

    // Appends one item per entry of the device's directory, dot-files left out. Always true.
    bool FindLocalBuilds(unsigned int serialNumber, std::vector<UpdaterStoreItem>& out);

private:
    std::string root;
};
