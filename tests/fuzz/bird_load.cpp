// Arbitrary bytes through BIRD loading, indexing, the information readers and patching.
// The first byte chooses the route: odd values take the rest as a whole file; even
// values take it as a block stream, compress it behind a valid header and load that, so
// that the block parser sees arbitrary input past the zlib layer.
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

// One scratch file for all runs, memory-backed when available, removed at exit.
struct _Scratch {
    std::string path;
    _Scratch()
    {
        path = access("/dev/shm", W_OK) == 0 ? "/dev/shm/fuzz-bird-XXXXXX" : "/tmp/fuzz-bird-XXXXXX";
        int fd = mkstemp(path.data());
        _check(fd >= 0);
        close(fd);
    }
    ~_Scratch() { unlink(path.c_str()); }
};

const std::string& _scratch_path()
{
    static _Scratch scratch;
    return scratch.path;
}

void _write(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    _check(file != nullptr);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

void _exercise(BirdFile& file)
{
    const unsigned char* begin = file.Data();
    const unsigned char* end = begin + file.DataLength();
    _check(file.blockCount == file.blocks.size());
    for (const BirdBlock& block : file.blocks) {
        // Every indexed payload lies inside the inflated stream.
        _check(block.data >= begin && block.data <= end && block.length <= size_t(end - block.data));
        _check(block.type <= 31 && block.flags <= 7);
    }
    file.GetVersion();
    file.GetBuild();
    file.GetSerialNumber();
    file.ValidateModel("HUB");
    file.ValidateSerialNumber(0x12345678);
    unsigned char pattern[] = {0x00, 0x01};
    file.ValidateData(pattern, sizeof pattern);
    file.ReplaceSerialNumber(0x0ABC1234);
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    file.DecodeFirmwareBlocks(key);
    BirdFile moved(std::move(file));
    _check(moved.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size() <= moved.blocks.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<uint8_t> rest(data + 1, data + size);
    std::vector<uint8_t> fileBytes = (data[0] & 1) ? rest : BirdWriter::Wrap(rest);
    const std::string& path = _scratch_path();
    _write(path, fileBytes);

    BirdFile::VerifyFile(path.c_str());
    BirdFile file;
    file.path = path;
    if (file.Load())
        _exercise(file);
    return 0;
}
