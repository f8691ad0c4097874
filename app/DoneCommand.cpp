#include "app/DoneCommand.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr auto WAIT_STEP = std::chrono::milliseconds(20);

// The process's environment with the variables set (replacing any of the same name).
std::vector<std::string> _environment(const std::map<std::string, std::string>& variables)
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string text(*entry);
        if (variables.count(text.substr(0, text.find('='))) == 0)
            entries.push_back(text);
    }
    for (const auto& [name, value] : variables)
        entries.push_back(name + "=" + value);
    return entries;
}

// The station blocks its ending signals in every thread; the command gets
// them back, with their default actions.
void _child_signals(posix_spawnattr_t& attributes)
{
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

std::string _exit_text(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status) == 0 ? "" : "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("ended by signal ") + strsignal(WTERMSIG(status));
    return "ended oddly";
}

}  // namespace

std::string _run_done_command(const std::string& command, const std::map<std::string, std::string>& variables,
                              std::chrono::milliseconds timeout)
{
    std::vector<std::string> entries = _environment(variables);
    std::vector<char*> envp;
    envp.reserve(entries.size() + 1);
    for (std::string& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string shell = "/bin/sh", flag = "-c", text = command;
    char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    _child_signals(attributes);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, shell.c_str(), nullptr, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return std::string("could not be started: ") + strerror(spawned);

    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child)
            return _exit_text(status);
        if (ended < 0 && errno != EINTR)
            return std::string("could not be waited for: ") + strerror(errno);
        if (std::chrono::steady_clock::now() >= end)
            break;
        std::this_thread::sleep_for(WAIT_STEP);
    }
    // Its whole group: a shell's children too.
    kill(-child, SIGKILL);
    waitpid(child, &status, 0);
    return "ended after its time-out of " + std::to_string(timeout.count() / 1000) + " s";
}
