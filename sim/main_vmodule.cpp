// vmodule: runs virtual modules for tests, demos and trying the updater without
// hardware. It prints where each module can be reached, then "ready", and
// runs until SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ModuleSet.h"
#include "sim/StopSignals.h"

namespace {

const char* kUsage =
    "usage: vmodule [--config FILE] [--module KEY=VALUE,...] [--attach KEY=VALUE,...]\n"
    "               [--fault SPEC] [--verbose] [--trace]\n"
    "\n"
    "  --module LIST   start a module (tcp on 127.0.0.1 and any free port unless told otherwise)\n"
    "  --attach LIST   put a module on the I2C bus of the last --module (a routing module)\n"
    "  --fault SPEC    inject a fault into the last --module or --attach\n"
    "  --config FILE   read modules from a file ([module], [attached], key = value)\n"
    "  --verbose       print module events (restarts, drops) on standard error\n"
    "  --trace         print every packet on standard error\n"
    "\n";

void _usage(FILE* out)
{
    fputs(kUsage, out);
    fputs(Sim::ModuleSettingsUsage(true).c_str(), out);
    fputs("See sim/README.md.\n", out);
}

std::mutex g_stderr;

void _to_stderr(const std::string& line)
{
    std::lock_guard lock(g_stderr);
    fprintf(stderr, "vmodule: %s\n", line.c_str());
}

int _fail(const std::string& message)
{
    fprintf(stderr, "vmodule: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<Sim::ModuleSpec> specs;
    Sim::ModuleConfig* last = nullptr;
    bool verbose = false, trace = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        std::string error;
        if (arg == "-h" || arg == "--help") {
            _usage(stdout);
            return 0;
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--module") {
            const char* list = value();
            if (!list)
                return _fail("--module needs KEY=VALUE,...");
            specs.emplace_back();
            last = &specs.back().config;
            if (!last->SetList(list, error))
                return _fail(error);
        } else if (arg == "--attach") {
            const char* list = value();
            if (!list)
                return _fail("--attach needs KEY=VALUE,...");
            if (specs.empty())
                return _fail("--attach needs a --module before it");
            specs.back().attached.emplace_back();
            last = &specs.back().attached.back();
            last->transport = Sim::Transport::None;
            last->moduleAddress = 4;
            if (!last->SetList(list, error))
                return _fail(error);
        } else if (arg == "--fault") {
            const char* spec = value();
            if (!spec)
                return _fail("--fault needs a fault");
            if (!last)
                return _fail("--fault needs a --module or --attach before it");
            if (!last->Set("fault", spec, error))
                return _fail(error);
        } else if (arg == "--config") {
            const char* path = value();
            if (!path)
                return _fail("--config needs a file");
            size_t before = specs.size();
            if (!Sim::ReadModuleFile(path, specs, error))
                return _fail(error);
            last = nullptr;
            if (specs.size() > before)
                last = specs.back().attached.empty() ? &specs.back().config : &specs.back().attached.back();
        } else {
            _usage(stderr);
            return _fail("unknown argument " + arg);
        }
    }
    if (specs.empty())
        specs.emplace_back();

    sigset_t stopSignals = Sim::BlockForSigwait({SIGTERM, SIGINT, SIGHUP});

    Sim::ModuleSet set;
    if (verbose)
        set.SetLogger(_to_stderr);
    if (trace)
        set.SetTrace(_to_stderr);
    std::string error;
    if (!set.Start(specs, error))
        return _fail(error);
    for (const std::string& line : set.Endpoints())
        printf("%s\n", line.c_str());
    printf("ready\n");
    fflush(stdout);

    const int received = Sim::WaitForSignal(stopSignals);
    set.Stop();
    if (verbose)
        _to_stderr(std::string("stopped on ") + strsignal(received));
    return 0;
}
