// The local firmware store: device directories, their listing and their files.
#include "store/UpdaterStore.h"

#include "common/Log.h"
#include "store/AtomicFile.h"
#include "unix/aDirectory.h"
#include "unix/aFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

std::string _serial_text(unsigned int serialNumber)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

// Splits a listed entry's full path into the directory and the entry name.
void _split(const char* fullPath, std::string& directory, std::string& name)
{
    std::string path = fullPath;
    size_t separator = path.rfind(aDIR_PATH_SEP[0]);
    directory = separator == std::string::npos ? std::string() : path.substr(0, separator);
    name = separator == std::string::npos ? path : path.substr(separator + 1);
}

store_item_t _kind(const aDirectoryListData* entry)
{
    return entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

void _ensure_directory(const std::string& path)
{
    const char* text = path.c_str();
    if (aDirectory_Exists(text)) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", text);
        return;
    }
    if (aFile_Exists(text))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    aErr err = aDirectory_Ensure(text, 0755);
    if (err != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " + std::to_string(err));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", text);
}

// A device name is one directory below the root: never a path of its own.
void _check_device_name(const char* name)
{
    if (!name || !*name || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || strchr(name, aDIR_PATH_SEP[0]))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name [") + (name ? name : "") + "]");
}

bool _find_item(const aDirectoryListData* entry, void* ref)
{
    result_t* search = static_cast<result_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path, entry->isDirectory,
             int(entry->size), search->search.c_str());
    std::string directory, name;
    _split(entry->path, directory, name);
    // Only the entry's own name is searched: the root's path may hold the text as well.
    if (name == "." || name == ".." || name.find(search->search) == std::string::npos)
        return true;
    search->found = true;
    if (search->item)
        *search->item = UpdaterStoreItem(directory.c_str(), name.c_str(), _kind(entry));
    return false;
}

struct _items_t {
    std::vector<UpdaterStoreItem>* out;
};

bool _find_items(const aDirectoryListData* entry, void* ref)
{
    _items_t* items = static_cast<_items_t*>(ref);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory, int(entry->size));
    std::string directory, name;
    _split(entry->path, directory, name);
    if (name.empty() || name[0] == '.')
        return true;
    items->out->push_back(UpdaterStoreItem(directory.c_str(), name.c_str(), _kind(entry)));
    return true;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* itemName, store_item_t itemKind)
    : basePath(base ? base : ""), name(itemName ? itemName : ""), kind(itemKind)
{
    attributes.Load(BuildPath(basePath, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

std::string UpdaterStoreItem::Path() const
{
    return BuildPath(basePath, name);
}

bool UpdaterStoreItem::FileExists(const char* fileName) const
{
    result_t search;
    search.search = fileName ? fileName : "";
    if (fileName && *fileName)
        aDirectory_List(Path().c_str(), _find_item, &search);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found",
             search.search.c_str());
    return search.found;
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data, unsigned long length)
{
    return _write_file(fileName, data, length, false, {});
}

aErr UpdaterStoreItem::WriteFileWithAttributes(const char* fileName, const unsigned char* data, unsigned long length,
                                               const std::function<bool()>& keep)
{
    return _write_file(fileName, data, length, true, keep);
}

aErr UpdaterStoreItem::_write_file(const char* fileName, const unsigned char* data, unsigned long length,
                                   bool withAttributes, const std::function<bool()>& keep)
{
    if (!data || !fileName || !*fileName)
        return aErrNotFound;
    std::string path = BuildPath(Path(), fileName);
    AtomicFile file(path);
    if (!file.IsOpen()) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot create %s (%d)\n", path.c_str(), file.Error());
        return aErrNotFound;
    }
    aErr err = file.Write(data, length);
    std::unique_ptr<AtomicFile> settings = err == aErrNone && withAttributes ? attributes.Stage() : nullptr;
    aErr settingsErr = aErrIO;
    if (err == aErrNone && settings) {
        // Both at once: ext4 and its kind put the two flushes into one journal commit.
        std::thread flush([&settings, &settingsErr] { settingsErr = settings->Flush(); });
        err = file.Flush();
        flush.join();
    } else if (err == aErrNone) {
        err = file.Flush();
    }
    if (err == aErrNone && keep && !keep())
        return aErrCancel;
    if (err == aErrNone)
        err = file.Rename();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot write %s (%d)\n", path.c_str(), file.Error());
        return err;
    }
    // The attributes take their name only after the file they may name has its own.
    if (settings && settingsErr == aErrNone && settings->Rename() == aErrNone)
        attributes.Saved();
    else if (settings)
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 attributes.Path().c_str(), settings->Error());
    if (!AtomicFile::SyncDirectory(Path())) {
        Log::log(DEBUG_Updater, "UpdaterStore: cannot sync %s (%d)\n", Path().c_str(), errno);
        return aErrIO;
    }
    return aErrNone;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) const
{
    std::string path = BuildPath(Path(), fileName ? fileName : "");
    if (!BirdFile::VerifyFile(path.c_str()))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

UpdaterStore::UpdaterStore(const char* path) : root(path ? path : "")
{
    if (root.empty())
        throw std::runtime_error("UpdaterStore: no store directory given");
    _ensure_directory(root);
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name)
{
    _check_device_name(name);
    _ensure_directory(BuildPath(root, name));
    return UpdaterStoreItem(root.c_str(), name, STORE_ITEM_DIRECTORY);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned int serialNumber)
{
    return AddDevice(_serial_text(serialNumber).c_str());
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item)
{
    result_t search;
    search.search = name ? name : "";
    search.item = item;
    if (name && *name)
        aDirectory_List(root.c_str(), _find_item, &search);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found",
             search.search.c_str());
    return search.found;
}

bool UpdaterStore::FindDevice(unsigned int serialNumber, UpdaterStoreItem* item)
{
    return FindDevice(_serial_text(serialNumber).c_str(), item);
}

bool UpdaterStore::FindLocalBuilds(unsigned int serialNumber, std::vector<UpdaterStoreItem>& out)
{
    UpdaterStoreItem device;
    if (!FindDevice(serialNumber, &device))
        return true;
    _items_t items{&out};
    aDirectory_List(device.Path().c_str(), _find_items, &items);
    return true;
}
