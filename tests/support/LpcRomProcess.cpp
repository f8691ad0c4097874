#include "support/LpcRomProcess.h"

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

std::string LpcRomPath() { return UPDATER_BINARY_DIR "/sim/lpcrom"; }

LpcRomProcess::~LpcRomProcess() {
    Stop();
    if (!stderrPath_.empty()) unlink(stderrPath_.c_str());
}

bool LpcRomProcess::Start(const std::vector<std::string>& args) {
    char path[] = "/tmp/lpcrom-stderr.XXXXXX";
    int errFd = mkstemp(path);
    int out[2];
    if (errFd < 0 || pipe2(out, O_CLOEXEC) != 0) {
        if (errFd >= 0) close(errFd);
        error_ = "no pipe or file for the program's output";
        return false;
    }
    stderrPath_ = path;
    std::string program = LpcRomPath();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(errFd);
    std::string text;
    bool ready = false;
    while (pid_ > 0 && !ready) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char b[256];
        ssize_t n = read(out[0], b, sizeof b);
        if (n <= 0) break;
        text.append(b, static_cast<size_t>(n));
        ready = text.find("ready\n") != std::string::npos;
    }
    close(out[0]);
    size_t at = text.find("pty ");
    if (ready && at != std::string::npos) ptyPath_ = text.substr(at + 4, text.find('\n', at) - at - 4);
    if (!ready || ptyPath_.empty()) {
        error_ = "lpcrom did not get ready: " + Stderr();
        Stop();
        return false;
    }
    return true;
}

int LpcRomProcess::Stop() { return StopChild(pid_); }

bool LpcRomProcess::Signal(int signal, const std::string& reply) {
    if (pid_ <= 0) return false;
    size_t before = Stderr().size();
    kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = Stderr();
        if (text.size() > before && text.find(reply, before) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string LpcRomProcess::Stderr() const {
    std::ifstream in(stderrPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace testsupport
