#pragma once
// The lpcrom program (a simulated LPC17xx boot ROM on a pseudo-terminal) as a test's
// peer: started with its flags, read until it prints "ready", stopped with SIGTERM
// (which writes the flash image when --flash-out was given).
//
//   testsupport::LpcRomProcess rom;
//   ASSERT_TRUE(rom.Start({"--flash-out", path})) << rom.Error();
//   run the tool on rom.PtyPath() ...
#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// build/sim/lpcrom
std::string LpcRomPath();

class LpcRomProcess {
public:
    LpcRomProcess() = default;
    ~LpcRomProcess();
    LpcRomProcess(const LpcRomProcess&) = delete;
    LpcRomProcess& operator=(const LpcRomProcess&) = delete;

    // Starts lpcrom and waits (up to 10 s) for "ready"; false with Error() otherwise.
    bool Start(const std::vector<std::string>& args);
    // SIGTERM, then waits; the exit status (-1 when a signal ended it).
    int Stop();
    // Sends a signal and waits (up to 10 s) until standard error holds a line with reply.
    bool Signal(int signal, const std::string& reply);

    const std::string& PtyPath() const { return ptyPath_; }
    std::string Stderr() const;
    const std::string& Error() const { return error_; }

private:
    pid_t pid_ = -1;
    std::string ptyPath_;
    std::string stderrPath_;
    std::string error_;
};

}  // namespace testsupport
