#include "Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <thread>

namespace testsupport {
namespace {

struct Channel {
    int read_fd = -1;
    int write_fd = -1;
    std::string* sink = nullptr;
};

bool _make_pipe(Channel& channel)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    channel.read_fd = fds[0];
    channel.write_fd = fds[1];
    return true;
}

bool _make_terminal(Channel& channel)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return false;
    // Raw on both sides: the bytes arrive exactly as written, without "\n" -> "\r\n".
    termios mode;
    if (tcgetattr(slave, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(slave, TCSANOW, &mode);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    channel.read_fd = master;
    channel.write_fd = slave;
    return true;
}

void _close(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

long _now_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// Collects both outputs until both are closed, feeding the input meanwhile,
// then reaps the child.
void _collect(pid_t child, Channel* channels, int input_fd, const std::string& input, const RunOptions& options,
              ProcessResult& result)
{
    size_t input_done = 0;
    if (input_fd >= 0 && input.empty())
        _close(input_fd);
    long deadline = _now_ms() + options.kill_after_seconds * 1000L;
    long signal_at = -1;  // when the text was seen, plus the delay
    bool signalled = options.signal_when.empty();
    int signals_sent = 0;
    for (;;) {
        if (!signalled && signal_at < 0 &&
            (result.out.find(options.signal_when) != std::string::npos ||
             result.err.find(options.signal_when) != std::string::npos))
            signal_at = _now_ms() + options.signal_delay_ms;
        if (!signalled && signal_at >= 0 && _now_ms() >= signal_at) {
            kill(child, options.signal);
            signalled = ++signals_sent >= options.signal_times;
            signal_at = _now_ms() + options.signal_delay_ms;
        }
        pollfd fds[3];
        int count = 0;
        int index[3];
        for (int i = 0; i < 2; ++i)
            if (channels[i].read_fd >= 0) {
                fds[count] = {channels[i].read_fd, POLLIN, 0};
                index[count++] = i;
            }
        int input_slot = -1;
        if (input_fd >= 0) {
            fds[count] = {input_fd, POLLOUT, 0};
            input_slot = count++;
        }
        if (count == 0)
            break;
        long left = deadline - _now_ms();
        if (left <= 0) {
            kill(child, SIGKILL);
            result.timed_out = true;
            break;
        }
        const long wait = signal_at >= 0 && !signalled ? 10 : 1000;
        int ready = poll(fds, count, static_cast<int>(left > wait ? wait : left));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < count; ++i) {
            if (!fds[i].revents)
                continue;
            if (i == input_slot) {
                ssize_t n = write(input_fd, input.data() + input_done, input.size() - input_done);
                if (n > 0)
                    input_done += n;
                if (n < 0 || input_done == input.size())
                    _close(input_fd);
                continue;
            }
            Channel& channel = channels[index[i]];
            char buffer[4096];
            ssize_t n = read(channel.read_fd, buffer, sizeof buffer);
            if (n > 0)
                channel.sink->append(buffer, n);
            else if (n == 0 || (errno != EINTR && errno != EAGAIN))
                _close(channel.read_fd);  // EOF, or EIO once a terminal's last writer is gone
        }
    }
    _close(input_fd);
    for (int i = 0; i < 2; ++i)
        _close(channels[i].read_fd);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

ProcessResult _spawn(const std::function<void()>& in_child, const RunOptions& options)
{
    ProcessResult result;
    Channel channels[2];
    channels[0].sink = &result.out;
    channels[1].sink = &result.err;
    Channel input;
    bool made = (options.stdout_terminal ? _make_terminal(channels[0]) : _make_pipe(channels[0])) &&
                _make_pipe(channels[1]) && _make_pipe(input);
    if (!made) {
        result.err = std::string("test support: could not create pipes: ") + strerror(errno);
        return result;
    }
    // A child that exits without reading its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        dup2(input.read_fd, STDIN_FILENO);
        dup2(channels[0].write_fd, STDOUT_FILENO);
        dup2(channels[1].write_fd, STDERR_FILENO);
        for (const auto& [name, value] : options.env)
            setenv(name.c_str(), value.c_str(), 1);
        // A shell may have started the tests with it ignored, which the child would inherit.
        if (!options.signal_when.empty())
            signal(options.signal, SIG_DFL);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
            _exit(126);
        in_child();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    _close(input.read_fd);
    _close(channels[0].write_fd);
    _close(channels[1].write_fd);
    if (child < 0) {
        result.err = std::string("test support: fork failed: ") + strerror(errno);
        _close(input.write_fd);
        _close(channels[0].read_fd);
        _close(channels[1].read_fd);
        return result;
    }
    _collect(child, channels, input.write_fd, options.input, options, result);
    return result;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options)
{
    return _spawn(
        [&argv] {
            std::vector<char*> words;
            for (const std::string& word : argv)
                words.push_back(const_cast<char*>(word.c_str()));
            words.push_back(nullptr);
            execvp(words[0], words.data());
            fprintf(stderr, "exec %s: %s\n", words[0], strerror(errno));
            _exit(127);
        },
        options);
}

ProcessResult RunInChild(const std::function<void()>& body, const RunOptions& options)
{
    return _spawn(body, options);
}

int StopChild(pid_t& pid, int signal)
{
    if (pid <= 0)
        return -1;
    kill(pid, signal);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string UpdaterPath()
{
    return UPDATER_BINARY_DIR "/app/updater";
}

std::string NetnsRunPath()
{
    return UPDATER_SOURCE_DIR "/scripts/netns-run";
}

ProcessResult RunUpdaterIsolated(const std::vector<std::string>& args, const RunOptions& options)
{
    std::vector<std::string> argv = {NetnsRunPath(), UpdaterPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, options);
}

ProcessResult RunUpdater(const std::vector<std::string>& args, const RunOptions& options)
{
    std::vector<std::string> argv = {UpdaterPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, options);
}

}  // namespace testsupport
