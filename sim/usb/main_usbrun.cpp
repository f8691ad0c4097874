// usbrun: runs a command with emulated USB devices present, e.g.
//
//   usbrun --module serial=40F5849A -- build/app/updater -D -t USB
//
// The devices live in this process on a umockdev testbed; the command (and
// everything it starts) sees them through libumockdev-preload and talks to
// their models here. usbrun exits with the command's status (128 + N when
// signal N ended it), 125 when it cannot set up, 126/127 when the command
// cannot be run.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sim/ModuleConfig.h"
#include "sim/usb/UsbBench.h"

extern char** environ;

namespace {

constexpr int SETUP_FAILED = 125;

struct CommandLine {
    std::vector<usbemu::BenchRequest> requests;
    bool verbose = false;
    bool trace = false;
    std::vector<std::string> command;
};

void _usage(FILE* out)
{
    fputs(
        "usage: usbrun [DEVICE OPTIONS...] [--verbose] [--trace] -- COMMAND [ARGS...]\n"
        "\n"
        "Runs COMMAND with emulated USB devices present and exits with its status. The\n"
        "devices live in usbrun on a umockdev testbed; COMMAND and everything it starts\n"
        "reach them through libusb, hidapi and device nodes as they would real ones\n"
        "(usbrun gives them LD_PRELOAD with libumockdev-preload and UMOCKDEV_DIR).\n"
        "\n"
        "Devices, in the order they enumerate (each option may be given again):\n",
        out);
    for (const usbemu::BenchDeviceKind& kind : usbemu::benchDeviceKinds())
        fputs(kind.help.c_str(), out);
    fputs(
        "\n"
        "Options:\n"
        "  -v, --verbose   print the devices and their events on standard error\n"
        "  --trace         print every packet on standard error\n"
        "  -h, --help      print this text\n"
        "\n"
        "Module settings (--module, --attach, --on-jump):\n",
        out);
    fputs(Sim::ModuleSettingsUsage(false).c_str(), out);
    fputs(
        "\n"
        "Exit status: COMMAND's own, 128+N when signal N ended it, 125 when usbrun cannot\n"
        "set up (nothing runs), 126 when COMMAND cannot be run, 127 when it is not found.\n"
        "SIGINT, SIGTERM, SIGHUP and SIGQUIT are handed to COMMAND. The devices exist only\n"
        "while usbrun runs: commands that belong together run in one usbrun (sh -c '...').\n"
        "A module leaves the bus when it restarts and comes back once it is online again.\n"
        "\n"
        "Examples:\n"
        "  usbrun --module serial=40F5849A -- updater -D -t USB\n"
        "  usbrun --module serial=40F5849A,usb=node,new-build=1200,flash-dir=/tmp/flash \\\n"
        "      -- updater -U -d 40F5849A -f 1200.bird\n"
        "  usbrun --module serial=0A0A0A0A --attach serial=0B0B0B0B -- updater -D -r 0A0A0A0A\n"
        "Updates that miss a module on USB look for it on TCP/IP: run them where that is\n"
        "harmless (a private network namespace). More in sim/README.md of the sources.\n",
        out);
}

int _fail(const std::string& message)
{
    fprintf(stderr, "usbrun: %s\n", message.c_str());
    return SETUP_FAILED;
}

// The kind whose refinement `option` is, when the last request is of it.
bool _refines_last(const CommandLine& line, const std::string& option)
{
    if (line.requests.empty())
        return false;
    const usbemu::BenchDeviceKind* kind = usbemu::findBenchDeviceKind(line.requests.back().kind);
    for (const std::string& refinement : kind->refinements)
        if (refinement == option)
            return true;
    return false;
}

bool _is_refinement(const std::string& option)
{
    for (const usbemu::BenchDeviceKind& kind : usbemu::benchDeviceKinds())
        for (const std::string& refinement : kind.refinements)
            if (refinement == option)
                return true;
    return false;
}

// False with a message; `help` is set for -h.
bool _parse(int argc, char** argv, CommandLine& line, bool& help, std::string& error)
{
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        }
        if (arg == "--verbose" || arg == "-v") {
            line.verbose = true;
            continue;
        }
        if (arg == "--trace") {
            line.trace = true;
            continue;
        }
        std::string option = arg.rfind("--", 0) == 0 ? arg.substr(2) : "";
        bool device = !option.empty() && usbemu::findBenchDeviceKind(option);
        bool refinement = !option.empty() && _is_refinement(option);
        if (!device && !refinement) {
            error = "unknown option " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return false;
        }
        std::string value = argv[++i];
        if (device) {
            line.requests.push_back({option, value, {}});
        } else if (_refines_last(line, option)) {
            line.requests.back().refinements.emplace_back(option, value);
        } else {
            error = arg + " needs a device it applies to before it";
            return false;
        }
    }
    for (++i; i < argc; ++i)
        line.command.emplace_back(argv[i]);
    if (line.command.empty()) {
        error = "no command given (usbrun [DEVICE OPTIONS...] -- COMMAND [ARGS...])";
        return false;
    }
    return true;
}

std::vector<std::string> _environment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (!extra.count(text.substr(0, text.find('='))))
            entries.push_back(text);
    }
    for (const auto& [name, value] : extra)
        entries.push_back(name + "=" + value);
    return entries;
}

// Starts the command with every signal unblocked; its pid, or -1 with the
// exit status to report in `status`.
pid_t _spawn(const std::vector<std::string>& command, const std::map<std::string, std::string>& extra, int& status)
{
    std::vector<std::string> environment = _environment(extra);
    std::vector<char*> envp, argv;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = command;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (error == 0)
        return pid;
    fprintf(stderr, "usbrun: cannot run %s: %s\n", argv[0], strerror(error));
    status = error == ENOENT ? 127 : 126;
    return -1;
}

// Waits for the command, handing it the stop signals this process gets.
int _wait(pid_t child, const sigset_t& signals)
{
    for (;;) {
        int received = 0;
        sigwait(&signals, &received);
        if (received != SIGCHLD) {
            kill(child, received);
            continue;
        }
        int status = 0;
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

std::mutex g_stderr;

void _to_stderr(const std::string& line)
{
    std::lock_guard<std::mutex> hold(g_stderr);
    fprintf(stderr, "usbrun: %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    // The testbed's own uevents (a device leaving the bus) go through libudev,
    // which finds the emulated devices only under the preload.
    usbemu::reexecUnderPreload();
    CommandLine line;
    bool help = false;
    std::string error;
    if (!_parse(argc, argv, line, help, error)) {
        _usage(stderr);
        return _fail(error);
    }
    if (help) {
        _usage(stdout);
        return 0;
    }
    usbemu::UsbBench bench;
    if (!bench.plan(line.requests, error))
        return _fail(error);

    // Signals are taken by this thread alone, so block them before any other
    // starts; the preload's sleep after each emulated ioctl is short with a
    // fine timer slack, which the command inherits.
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_TIMERSLACK, 1);

    int status = SETUP_FAILED;
    try {
        usbemu::UsbEmulation emulation;
        usbemu::BenchLog log;
        if (line.verbose)
            log.events = _to_stderr;
        if (line.trace)
            log.packets = _to_stderr;
        bench.plug(emulation, log);
        if (line.verbose)
            for (const std::string& device : bench.describe())
                _to_stderr(device);
        pid_t child = _spawn(line.command, emulation.childEnvironment(), status);
        if (child > 0)
            status = _wait(child, signals);
        bench.unplug();
    } catch (const std::exception& failure) {
        return _fail(std::string("cannot emulate USB: ") + failure.what());
    }
    return status;
}
