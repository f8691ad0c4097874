// Downloading a 2 MiB firmware image with "updater -G" against the plain tools doing what
// a download needs: curl fetching the image line, base64 -d decoding it, the shell
// writing the file and sync making the file and its directory durable, as the updater
// does. Both run against the same local update server in the same iterations; the
// "ratio" counter is updater time divided by tool time (target <= 1.05). Over HTTPS both
// check the server's chain against the server's throw-away CA.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuietProcess.h"
#include "firmware/BirdWriter.h"
#include "sim/ThrowAwayCa.h"
#include "sim/UpdateServer.h"

namespace {

constexpr size_t IMAGE_SIZE = 2u << 20;
constexpr uint32_t BUILD = 4242;
const char* const SERIAL = "40F5849A";

// Firmware that hardly compresses, so the BIRD file itself is about 2 MiB.
std::vector<uint8_t> _code(size_t length)
{
    std::vector<uint8_t> code(length);
    std::mt19937 random(99);
    for (auto& byte : code)
        byte = static_cast<uint8_t>(random());
    return code;
}

struct Setup {
    std::string root;
    std::string url;
    std::string ca_bundle;  // HTTPS only
    std::unique_ptr<Sim::UpdateServer> server;

    explicit Setup(bool https)
    {
        char pattern[] = "/tmp/download-bench-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        root = pattern;
        std::filesystem::create_directories(root + "/firmware/" + SERIAL);
        BirdWriter writer;
        writer.AddFirmware(0x60000000, _code(IMAGE_SIZE - 400)).AddInfo(BUILD, "2.12.2", 0, "BENCH");
        std::string error;
        const std::string image = root + "/firmware/" + SERIAL + "/" + std::to_string(BUILD) + ".bird";
        if (!writer.Write(image, &error))
            throw std::runtime_error(error);

        Sim::UpdateServerOptions options;
        options.firmware_dir = root + "/firmware";
        if (https) {
            Sim::ThrowAwayCa ca;
            ca_bundle = root + "/ca.crt";
            options.cert = root + "/server.crt";
            options.key = root + "/server.key";
            if (!ca.Create("bench CA", error) || !ca.WriteCertificate(ca_bundle, error) ||
                !ca.Issue({}, options.cert, options.key, error))
                throw std::runtime_error(error);
        }
        server = std::make_unique<Sim::UpdateServer>(options);
        if (!server->Start(error))
            throw std::runtime_error(error);
        url = server->Url();
    }
    ~Setup()
    {
        server->Stop();
        std::filesystem::remove_all(root);
    }
};

Setup& _setup(bool https)
{
    static Setup plain(false);
    static Setup tls(true);
    return https ? tls : plain;
}

bool _updater_get(const Setup& setup)
{
    std::vector<std::string> variables;
    for (char** variable = environ; *variable; ++variable)
        variables.push_back(*variable);
    if (!setup.ca_bundle.empty())
        variables.push_back("UPDATER_CA_BUNDLE=" + setup.ca_bundle);
    std::vector<char*> env;
    for (auto& variable : variables)
        env.push_back(variable.data());
    env.push_back(nullptr);
    return bench::RunQuietly(
        {UPDATER_BINARY_DIR "/app/updater", "-G", "-d", SERIAL, "-u", setup.url, "-i", setup.root + "/store"},
        env.data());
}

bool _tools_get(const Setup& setup)
{
    const std::string query =
        setup.url + "?bld=" + std::to_string(BUILD) + "&fw=std&no_cal=false&op=bird&sn=" + SERIAL + "&";
    const std::string dir = setup.root + "/tools";
    const std::string out = dir + "/" + std::to_string(BUILD) + ".bird";
    // sync with names flushes each named file (the directory too) and nothing else.
    return bench::RunQuietly({"/bin/sh", "-c",
                              "mkdir -p '" + dir + "' && curl -sSf " +
                                  (setup.ca_bundle.empty() ? "" : "--cacert '" + setup.ca_bundle + "' ") + "'" + query +
                                  "' | tail -n +2 | base64 -d > '" + out + "' && sync '" + out + "' '" + dir + "'"});
}

double _seconds(bool (*step)(const Setup&), const Setup& setup, benchmark::State& state)
{
    const auto start = std::chrono::steady_clock::now();
    if (!step(setup))
        state.SkipWithError("download failed");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// state.range(0): 1 over HTTPS.
void BM_UpdaterGet(benchmark::State& state)
{
    const Setup& setup = _setup(state.range(0));
    for (auto _ : state)
        if (!_updater_get(setup))
            state.SkipWithError("updater -G failed");
}

void BM_CurlBase64(benchmark::State& state)
{
    const Setup& setup = _setup(state.range(0));
    for (auto _ : state)
        if (!_tools_get(setup))
            state.SkipWithError("curl | base64 -d, sync failed");
}

// Both ways in every iteration, so that machine load hits both alike.
void BM_DownloadVsCurl(benchmark::State& state)
{
    const Setup& setup = _setup(state.range(0));
    double updater = 0, tools = 0;
    for (auto _ : state) {
        updater += _seconds(_updater_get, setup, state);
        tools += _seconds(_tools_get, setup, state);
    }
    state.counters["updater_ms"] = benchmark::Counter(updater * 1000 / state.iterations());
    state.counters["tools_ms"] = benchmark::Counter(tools * 1000 / state.iterations());
    state.counters["ratio"] = tools > 0 ? updater / tools : 0;
}

BENCHMARK(BM_UpdaterGet)->ArgName("https")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CurlBase64)->ArgName("https")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DownloadVsCurl)
    ->ArgName("https")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);

}  // namespace

BENCHMARK_MAIN();
