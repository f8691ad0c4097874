// Loading a 4 MiB BIRD image (read, inflate, index) against zlib's uncompress of the
// same stream alone. The "ratio" counter of BM_LoadVsUncompress is load time divided by
// uncompress time, both measured in the same iterations; the target is at most 1.1.
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t IMAGE_SIZE = 4u << 20;

// Code-like bytes: a small vocabulary of instruction words with random immediates, so
// that the image compresses about as well as real firmware (roughly 2:1).
std::vector<uint8_t> _firmware_like(size_t length)
{
    static const uint32_t words[] = {0x4770BF00, 0xB5104604, 0x68036842, 0xF8D0E7FE, 0x2000BD10, 0x46204611};
    std::vector<uint8_t> code(length);
    uint32_t seed = 12345;
    for (size_t i = 0; i + 4 <= length; i += 4) {
        seed = seed * 1103515245u + 12345u;
        uint32_t word = (seed >> 28) < 9 ? words[(seed >> 16) % 6] : seed;
        for (int b = 0; b < 4; b++)
            code[i + b] = uint8_t(word >> (8 * b));
    }
    return code;
}

struct Image {
    std::string path;
    std::vector<uint8_t> bytes;  // the whole file
    Image()
    {
        BirdWriter writer;
        writer.AddLoader(0x20000000, _firmware_like(64 * 1024))
            .AddFirmware(0x60000000, _firmware_like(IMAGE_SIZE - 64 * 1024 - 200))
            .AddOffsets(0x60000400, 0x60000800)
            .AddInfo(1234, "2.12.2", 0, "BENCH");
        bytes = writer.FileBytes();
        char name[] = "/tmp/bird-bench-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            throw std::runtime_error("mkstemp failed");
        close(fd);
        path = name;
        std::string error;
        if (!BirdWriter::WriteBytes(path, bytes, &error))
            throw std::runtime_error(error);
    }
    ~Image() { unlink(path.c_str()); }
};

Image& _image()
{
    static Image image;
    return image;
}

bool _load_once(const std::string& path)
{
    BirdFile file;
    file.path = path;
    bool ok = file.Load() && file.blockCount == 4;
    benchmark::DoNotOptimize(file.blocks.data());
    return ok;
}

bool _uncompress_once(const std::vector<uint8_t>& bytes, unsigned char* out, uLongf capacity)
{
    uLongf produced = capacity;
    int z = uncompress(out, &produced, bytes.data() + 6, bytes.size() - 6);
    benchmark::DoNotOptimize(out);
    return z == Z_OK;
}

void BM_BirdFileLoad(benchmark::State& state)
{
    Image& image = _image();
    for (auto _ : state)
        if (!_load_once(image.path))
            state.SkipWithError("load failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(IMAGE_SIZE));
}

void BM_ZlibUncompress(benchmark::State& state)
{
    Image& image = _image();
    uLongf capacity = 8 * (image.bytes.size() - 6);
    std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
    for (auto _ : state)
        if (!_uncompress_once(image.bytes, out.get(), capacity))
            state.SkipWithError("uncompress failed");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(IMAGE_SIZE));
}

void BM_LoadVsUncompress(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    Image& image = _image();
    uLongf capacity = 8 * (image.bytes.size() - 6);
    std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
    Clock::duration load{}, inflate{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        bool loaded = _load_once(image.path);
        auto t1 = Clock::now();
        bool inflated = _uncompress_once(image.bytes, out.get(), capacity);
        auto t2 = Clock::now();
        if (!loaded || !inflated)
            state.SkipWithError("load or uncompress failed");
        load += t1 - t0;
        inflate += t2 - t1;
    }
    state.counters["ratio"] = double(load.count()) / double(inflate.count());
    state.counters["compressed_bytes"] = double(image.bytes.size());
}

}  // namespace

BENCHMARK(BM_BirdFileLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadVsUncompress)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
