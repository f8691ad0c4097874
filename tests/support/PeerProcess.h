#pragma once
// A simulator or server program as a test's peer: started with its flags, read on
// standard output until it prints "ready" (the lines before it say where it serves), its
// standard error kept in a temporary file, stopped with a signal (SIGTERM by default).
//
//   testsupport::PeerProcess rom(UPDATER_BINARY_DIR "/sim/sdprom");
//   ASSERT_TRUE(rom.Start({"--verbose"})) << rom.Error();
//   use rom.Lines() ...
#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

namespace testsupport {

class PeerProcess {
public:
    explicit PeerProcess(std::string program) : program_(std::move(program)) {}
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts the program and waits (up to 20 s) for "ready". False when it ended or never
    // got ready; Error() then says why (with what it wrote on standard error).
    bool Start(const std::vector<std::string>& args);
    // The two halves of Start, for a program that is not expected to get ready at once:
    // Launch starts it (false when it could not), AwaitReady reads its lines until
    // "ready" (true) or until it is silent for timeoutMs or ends (false; it runs on).
    bool Launch(const std::vector<std::string>& args);
    bool AwaitReady(int timeoutMs) { return readLines(true, timeoutMs); }
    // Sends the signal, then waits; the exit status (-1 when a signal ended it). What the
    // program printed on standard output after "ready" joins Lines().
    int Stop(int signal = SIGTERM);
    // Sends a signal and waits (up to 10 s) until standard error holds a new line with reply.
    bool Signal(int signal, const std::string& reply);

    // The lines printed before "ready" (and after it, once stopped).
    const std::vector<std::string>& Lines() const { return lines_; }
    // What the program wrote on standard error so far.
    std::string Stderr() const;
    const std::string& Error() const { return error_; }
    pid_t Pid() const { return pid_; }

private:
    // Reads whole lines until one says "ready" (true) or, with untilReady false, until
    // the program's output ends; waits at most timeoutMs for each piece.
    bool readLines(bool untilReady, int timeoutMs);

    std::string program_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    std::string stderrPath_;
    std::string error_;
};

}  // namespace testsupport
