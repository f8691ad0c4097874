#pragma once
// The device's end of a simulated serial line: the master side of a raw, non-blocking
// pseudo-terminal whose slave path the host opens as its serial port. A spare slave
// descriptor keeps the line up while the host closes and reopens the port.
#include <string>

namespace Sim {

class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine() { Close(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // False with error saying which step failed; nothing stays open then.
    bool Open(std::string& error);
    void Close();
    int Master() const { return _master; }
    // The path the host opens ("/dev/pts/N").
    const std::string& SlavePath() const { return _slavePath; }

private:
    int _master = -1;
    int _spareSlave = -1;
    std::string _slavePath;
};

}  // namespace Sim
