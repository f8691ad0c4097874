#pragma once
// Other programs in the benchmarks (the updater, the host tools they are measured
// against), started with their output discarded.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace bench {

// Starts the program (a path, or a name looked up on PATH) with its arguments; its
// process id, or -1 when it cannot start.
inline pid_t SpawnQuietly(const std::vector<std::string>& args, char** env = environ)
{
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Runs the program to its end; true when it exited 0.
inline bool RunQuietly(const std::vector<std::string>& args, char** env = environ)
{
    const pid_t pid = SpawnQuietly(args, env);
    if (pid < 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace bench
