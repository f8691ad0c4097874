#include "support/ModuleServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testsupport {

std::string ModuleServerPath()
{
    return UPDATER_BINARY_DIR "/app/module-server";
}

ModuleServerProcess::~ModuleServerProcess()
{
    Stop();
}

void ModuleServerProcess::readLines(int timeoutMs, bool untilReady)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_ >= 0 && std::chrono::steady_clock::now() < end) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char b[512];
        ssize_t n = read(out_, b, sizeof b);
        if (n <= 0)
            return;
        pending_.append(b, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending_.find('\n')) != std::string::npos) {
            lines_.push_back(pending_.substr(0, eol));
            pending_.erase(0, eol + 1);
            if (untilReady && lines_.back() == "ready")
                return;
        }
    }
}

bool ModuleServerProcess::Start(const std::vector<std::string>& args)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return false;
    }
    std::string program = ModuleServerPath();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    readLines(20000, true);
    if (lines_.empty() || lines_.back() != "ready") {
        error_ = "module-server did not get ready";
        for (const auto& line : lines_)
            error_ += "\n" + line;
        Stop();
        return false;
    }
    return true;
}

int ModuleServerProcess::Stop(int signal)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    readLines(200, false);
    if (out_ >= 0)
        close(out_);
    out_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint16_t ModuleServerProcess::Port() const
{
    for (const auto& line : lines_) {
        size_t at = line.rfind(" port ");
        if (line.rfind("serving ", 0) == 0 && at != std::string::npos)
            return static_cast<uint16_t>(std::stoul(line.substr(at + 6)));
    }
    return 0;
}

}  // namespace testsupport
