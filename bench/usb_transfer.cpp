// 256 KiB of upgrade DATA through a link to a virtual module on the emulated USB
// bus (umockdev in front of the real libusb):
//   raw: DATA packets of 26 bytes (95, 1, data), each acknowledged with its count;
//   uei: the data as UEI option-10 byte strings of 1024 bytes (24-byte chunks with a
//        sequence byte), one acknowledgement per string, with and without pooled
//        writes.
// Each at full speed (64-byte packets) and high speed (512). The emulation itself
// costs about three ioctls per bulk transfer, so the figures compare the modes with
// each other rather than with real hardware. "bytes_per_second" is the payload rate.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "BenchMain.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "sim/usb/UsbModuleHost.h"
#include "unix/tsusb.h"

namespace {

constexpr size_t TOTAL = 256 * 1024;
constexpr size_t RAW_PIECE = 26;
constexpr size_t UEI_STRING = 1024;
constexpr size_t UEI_CHUNK = 24;
constexpr uint8_t CMD_UPGRADE = 95;
constexpr uint8_t UPGRADE_DATA = 1;
constexpr uint8_t DATA_UEI_SET = 0x8A;  // set of option 10
constexpr uint8_t DATA_UEI_ACK = 0xCA;
constexpr uint8_t SPECIFIER = 0x20;  // index 0
constexpr uint8_t ADDRESS = 2;
constexpr uint32_t SERIAL = 0x40F5849A;

struct Expect {
    uint8_t second;
};

uint8_t _reply_filter(const aPacket* packet, const void* ref)
{
    const auto* expect = static_cast<const Expect*>(ref);
    return packet->address == ADDRESS && packet->dataSize >= 2 && packet->data[0] == CMD_UPGRADE &&
           packet->data[1] == expect->second;
}

bool _put(uint32_t link, const std::vector<uint8_t>& payload)
{
    aPacket* packet = aPacket_CreateWithData(ADDRESS, static_cast<uint8_t>(payload.size()), payload.data());
    aErr result = aLink_PutPacket(link, packet);
    aPacket_Destroy(&packet);
    return result == aErrNone;
}

bool _await(uint32_t link, uint8_t second)
{
    Expect expect{second};
    aPacket* reply = aLink_AwaitFirst(link, _reply_filter, &expect, 1000);
    bool ok = reply != nullptr;
    aPacket_Destroy(&reply);
    return ok;
}

// One module on the bus and one link to it, for the whole run of a benchmark.
struct Bench {
    usbemu::UsbEmulation emulation;
    std::unique_ptr<usbemu::UsbModuleHost> host;
    uint32_t link = 0;

    explicit Bench(bool highSpeed)
    {
        Sim::ModuleConfig config;
        config.serialNumber = SERIAL;
        config.moduleAddress = ADDRESS;
        host = std::make_unique<usbemu::UsbModuleHost>(
            emulation, std::make_shared<Sim::VirtualModule>(config),
            highSpeed ? usbemu::UsbModuleHost::Access::LibusbHighSpeed : usbemu::UsbModuleHost::Access::Libusb);
        link = aLink_CreateUSB(SERIAL);
        if (!link)
            throw std::runtime_error("no link to the emulated module");
    }
    ~Bench()
    {
        aLink_Destroy(&link);
        host.reset();
        Tessarine_libusb_exit();
    }
};

std::vector<uint8_t> _data()
{
    std::vector<uint8_t> data(TOTAL);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    return data;
}

void BM_RawData(benchmark::State& state)
{
    Bench bench(state.range(0) != 0);
    std::vector<uint8_t> data = _data();
    for (auto _ : state) {
        for (size_t at = 0; at < data.size(); at += RAW_PIECE) {
            size_t n = std::min(RAW_PIECE, data.size() - at);
            std::vector<uint8_t> payload{CMD_UPGRADE, UPGRADE_DATA};
            payload.insert(payload.end(), data.begin() + at, data.begin() + at + n);
            if (!_put(bench.link, payload) || !_await(bench.link, UPGRADE_DATA)) {
                state.SkipWithError("DATA not acknowledged");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TOTAL));
}

void BM_UeiData(benchmark::State& state)
{
    Bench bench(state.range(0) != 0);
    aLink_EnablePooledPackets(bench.link, state.range(1) != 0);
    std::vector<uint8_t> data = _data();
    for (auto _ : state) {
        for (size_t at = 0; at < data.size(); at += UEI_STRING) {
            size_t length = std::min(UEI_STRING, data.size() - at);
            size_t chunks = (length + UEI_CHUNK - 1) / UEI_CHUNK;
            for (size_t c = 0; c < chunks; ++c) {
                size_t from = at + c * UEI_CHUNK;
                size_t n = std::min(UEI_CHUNK, at + length - from);
                std::vector<uint8_t> payload{CMD_UPGRADE, DATA_UEI_SET, SPECIFIER};
                payload.insert(payload.end(), data.begin() + from, data.begin() + from + n);
                payload.push_back(static_cast<uint8_t>((c & 0x7F) | (c + 1 < chunks ? 0x80 : 0)));
                if (!_put(bench.link, payload)) {
                    state.SkipWithError("put failed");
                    return;
                }
            }
            if (!_await(bench.link, DATA_UEI_ACK)) {
                state.SkipWithError("byte string not acknowledged");
                return;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TOTAL));
}

BENCHMARK(BM_RawData)->ArgName("highspeed")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UeiData)
    ->ArgNames({"highspeed", "pooled"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
    usbemu::reexecUnderPreload();
    return bench::RunBenchmarks(argc, argv);
}
