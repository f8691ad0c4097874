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

std::string _name(const std::string& program) { return program.substr(program.rfind('/') + 1); }

// Reads whole lines into lines until one says "ready" or nothing comes for 10 s.
bool _readUntilReady(int fd, std::vector<std::string>& lines) {
    std::string pending;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) return false;
        char b[512];
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) return false;
        pending.append(b, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line == "ready") return true;
            lines.push_back(line);
        }
    }
}

}  // namespace

PeerProcess::~PeerProcess() {
    Stop();
    if (!stderrPath_.empty()) unlink(stderrPath_.c_str());
}

bool PeerProcess::Start(const std::vector<std::string>& args) {
    std::string path = "/tmp/" + _name(program_) + "-stderr.XXXXXX";
    int errFd = mkstemp(path.data());
    int out[2];
    if (errFd < 0 || pipe2(out, O_CLOEXEC) != 0) {
        if (errFd >= 0) close(errFd);
        error_ = "no pipe or file for the program's output";
        return false;
    }
    stderrPath_ = path;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        std::vector<char*> argv{program_.data()};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program_.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    bool ready = pid_ > 0 && _readUntilReady(out[0], lines_);
    close(out[0]);  // the programs print nothing more on standard output
    if (!ready) {
        error_ = _name(program_) + " did not get ready: " + Stderr();
        Stop();
    }
    return ready;
}

int PeerProcess::Stop() { return StopChild(pid_); }

bool PeerProcess::Signal(int signal, const std::string& reply) {
    if (pid_ <= 0) return false;
    size_t before = Stderr().size();
    kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Stderr().find(reply, before) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string PeerProcess::Stderr() const {
    std::ifstream in(stderrPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
