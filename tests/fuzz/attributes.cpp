// Arbitrary bytes as an attribute file: parsing, typed getters and saving. After one
// save and reload the entries must be a fixed point: saving and loading them again
// gives the same entries.
#include "store/KeyValueStore.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

// One scratch directory for all runs, memory-backed when available (every run saves
// twice), removed at exit.
struct _Scratch {
    std::string path;
    _Scratch()
    {
        path = access("/dev/shm", W_OK) == 0 ? "/dev/shm/fuzz-attributes-XXXXXX" : "/tmp/fuzz-attributes-XXXXXX";
        _check(mkdtemp(path.data()) != nullptr);
    }
    ~_Scratch()
    {
        for (const char* name : {"/input", "/first", "/second"})
            unlink((path + name).c_str());
        rmdir(path.c_str());
    }
};

const std::string& _scratch_directory()
{
    static _Scratch scratch;
    return scratch.path;
}

void _write(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* file = fopen(path.c_str(), "wb");
    _check(file != nullptr);
    if (size)
        fwrite(data, 1, size, file);
    fclose(file);
}

KeyValueStore _reload(const std::string& path)
{
    KeyValueStore store;
    store.Load(path.c_str());
    return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& directory = _scratch_directory();
    std::string input = directory + "/input", first = directory + "/first", second = directory + "/second";
    _write(input, data, size);

    KeyValueStore store(input.c_str());
    std::vector<std::string> keys;
    for (const auto& entry : store.Entries())
        keys.push_back(entry.first);
    for (const std::string& key : keys) {
        _check(store[key.c_str()] != nullptr || key.find('\0') != std::string::npos);
        store.GetInt(key.c_str(), 1);
        store.GetHex(key.c_str(), 2);
        store.GetBOOL(key.c_str(), true);
        store.GetDouble(key.c_str(), 3.0);
        store.GetString(key.c_str(), "d");
    }
    _check(!store.IsModified());

    store.Save(first.c_str());
    KeyValueStore once = _reload(first);
    once.Save(second.c_str());
    KeyValueStore twice = _reload(second);
    _check(once.Entries() == twice.Entries());
    return 0;
}
