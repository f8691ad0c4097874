#pragma once
// Child processes for tests: run a program (or a function in a forked child)
// and collect its standard output, standard error and exit status.
#include <sys/types.h>

#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
    int exit_status = -1;  // exit code, or -1 when the child was killed by a signal
    int signal = 0;        // the signal that ended the child, 0 if it exited
    bool timed_out = false;
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

struct RunOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
    std::string working_directory;           // empty: the test's own
    std::string input;                       // standard input; closed after it is written
    // Standard output is a pseudo-terminal instead of a pipe (read back raw,
    // without any line-end translation).
    bool stdout_terminal = false;
    // Safety net against a hanging child: it is killed after this many seconds
    // and timed_out is set. Not a performance bound.
    int kill_after_seconds = 120;
    // Sends `signal` `signal_times` times, `signal_delay_ms` apart, the first
    // `signal_delay_ms` after the child's output (either stream) first holds
    // `signal_when`; nothing when it is empty.
    std::string signal_when;
    int signal = SIGTERM;
    int signal_delay_ms = 0;
    int signal_times = 1;
};

// Runs argv[0] (searched in PATH when it has no '/') with the given arguments.
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs body in a forked child and collects what it writes; the child ends with
// status 0 when body returns.
ProcessResult RunInChild(const std::function<void()>& body, const RunOptions& options = {});

// Ends a background child with the signal (SIGKILL after 20 s more) and reaps it;
// its exit status, -1 when a signal ended it (or pid names no child). pid becomes -1.
int StopChild(pid_t& pid, int signal = SIGTERM);

// The program under test and the project's network-namespace wrapper.
std::string UpdaterPath();
std::string NetnsRunPath();

// Runs the updater with the given arguments inside a private network
// namespace (for every command that may enumerate TCP/IP modules).
ProcessResult RunUpdaterIsolated(const std::vector<std::string>& args, const RunOptions& options = {});
// Runs the updater directly: only for commands that never touch the network
// beyond 127.0.0.1.
ProcessResult RunUpdater(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace testsupport
