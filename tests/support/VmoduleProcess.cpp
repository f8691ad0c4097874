#include "support/VmoduleProcess.h"

#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

std::string VmodulePath() { return UPDATER_BINARY_DIR "/sim/vmodule"; }

VmoduleProcess::~VmoduleProcess() {
    Stop();
    if (!stderrPath_.empty()) unlink(stderrPath_.c_str());
}

bool VmoduleProcess::Start(const std::vector<std::string>& args) {
    char path[] = "/tmp/vmodule-stderr.XXXXXX";
    int errFd = mkstemp(path);
    if (errFd < 0) {
        error_ = "no file for standard error";
        return false;
    }
    stderrPath_ = path;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(errFd);
        error_ = "pipe failed";
        return false;
    }
    std::string program = VmodulePath();
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
    if (pid_ < 0) {
        close(out[0]);
        error_ = "fork failed";
        return false;
    }
    std::string pending;
    bool ready = false;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        char b[512];
        ssize_t n = read(out[0], b, sizeof b);
        if (n <= 0) break;
        pending.append(b, n);
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line == "ready") ready = true;
            else lines_.push_back(line);
        }
        if (ready) break;
    }
    close(out[0]);  // vmodule prints nothing more on standard output
    if (!ready) {
        error_ = "vmodule did not get ready: " + Stderr();
        Stop();
    }
    return ready;
}

int VmoduleProcess::Stop() { return StopChild(pid_); }

std::string VmoduleProcess::Stderr() const {
    std::ifstream in(stderrPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> VmoduleProcess::endpoint(uint32_t serial, const std::string& kind) const {
    char hex[16];
    snprintf(hex, sizeof hex, "%08X", serial);
    for (const std::string& line : lines_) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) w.push_back(s);
        if (w.size() >= 3 && w[0] == "module" && w[1] == hex && w[2] == kind) return w;
    }
    return {};
}

std::string VmoduleProcess::TcpAddress(uint32_t serial) const {
    auto w = endpoint(serial, "tcp");
    return w.size() == 5 ? w[3] : "";
}

uint16_t VmoduleProcess::TcpPort(uint32_t serial) const {
    auto w = endpoint(serial, "tcp");
    return w.size() == 5 ? static_cast<uint16_t>(std::stoul(w[4])) : 0;
}

std::string VmoduleProcess::PtyPath(uint32_t serial) const {
    auto w = endpoint(serial, "pty");
    return w.size() == 4 ? w[3] : "";
}

}  // namespace testsupport
