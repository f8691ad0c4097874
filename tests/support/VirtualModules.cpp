#include "support/VirtualModules.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testsupport {

std::string VirtualModulePath()
{
    return UPDATER_BINARY_DIR "/sim/vmodule";
}

VirtualModules::VirtualModules(const std::vector<std::string>& args)
{
    char pattern[] = "/tmp/vmodule-stderr-XXXXXX";
    errFile_ = mkstemp(pattern);
    errPath_ = pattern;
    int out[2];
    if (errFile_ < 0 || pipe(out) != 0)
        return;
    std::string program = VirtualModulePath();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(errFile_, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char line[512];
    while (lines && fgets(line, sizeof line, lines)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        if (text == "ready") {
            ready_ = true;
            break;
        }
        endpoints_.push_back(text);
    }
    // The simulator writes nothing more to standard output; closing our end is harmless.
    if (lines)
        fclose(lines);
}

VirtualModules::~VirtualModules()
{
    stop();
    if (!errPath_.empty())
        unlink(errPath_.c_str());
}

unsigned VirtualModules::tcpPort(const std::string& serial) const
{
    for (const std::string& line : endpoints_) {
        std::istringstream words(line);
        std::string kind, number, transport, address;
        unsigned port = 0;
        if (words >> kind >> number >> transport >> address >> port && kind == "module" && number == serial &&
            transport == "tcp")
            return port;
    }
    return 0;
}

std::string VirtualModules::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    std::string text;
    if (errFile_ >= 0) {
        lseek(errFile_, 0, SEEK_SET);
        char buffer[4096];
        ssize_t length;
        while ((length = read(errFile_, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<size_t>(length));
        close(errFile_);
        errFile_ = -1;
    }
    return text;
}

}  // namespace testsupport
