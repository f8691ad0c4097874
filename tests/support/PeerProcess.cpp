#include "support/PeerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/Process.h"

namespace testsupport {

namespace {

std::string _name(const std::string& program)
{
    return program.substr(program.rfind('/') + 1);
}

}  // namespace

bool PeerProcess::readLines(bool untilReady, int timeoutMs)
{
    for (;;) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        char b[512];
        ssize_t n = read(out_, b, sizeof b);
        if (n <= 0)
            return false;
        pending_.append(b, static_cast<size_t>(n));
        for (size_t eol; (eol = pending_.find('\n')) != std::string::npos;) {
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            if (untilReady && line == "ready")
                return true;
            lines_.push_back(line);
        }
    }
}

PeerProcess::~PeerProcess()
{
    Stop();
    if (!stderrPath_.empty())
        unlink(stderrPath_.c_str());
}

bool PeerProcess::Start(const std::vector<std::string>& args)
{
    bool ready = Launch(args) && readLines(true, 20000);
    if (!ready) {
        error_ = _name(program_) + " did not get ready: " + Stderr();
        Stop();
    }
    return ready;
}

bool PeerProcess::Launch(const std::vector<std::string>& args)
{
    std::string path = "/tmp/" + _name(program_) + "-stderr.XXXXXX";
    int errFd = mkstemp(path.data());
    int out[2];
    if (errFd < 0 || pipe2(out, O_CLOEXEC) != 0) {
        if (errFd >= 0)
            close(errFd);
        error_ = "no pipe or file for the program's output";
        return false;
    }
    stderrPath_ = path;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        std::vector<char*> argv{program_.data()};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program_.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    out_ = out[0];
    return pid_ > 0;
}

int PeerProcess::Stop(int signal)
{
    int status = StopChild(pid_, signal);
    if (out_ >= 0) {
        readLines(false, 200);
        close(out_);
        out_ = -1;
    }
    return status;
}

bool PeerProcess::Signal(int signal, const std::string& reply)
{
    if (pid_ <= 0)
        return false;
    size_t before = Stderr().size();
    kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Stderr().find(reply, before) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string PeerProcess::Stderr() const
{
    std::ifstream in(stderrPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
