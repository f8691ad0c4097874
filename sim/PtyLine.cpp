#include "sim/PtyLine.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Sim {

namespace {

// A fresh pty echoes and translates line ends; a serial line does neither.
bool _makeRaw(int fd)
{
    termios raw{};
    if (tcgetattr(fd, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    return tcsetattr(fd, TCSANOW, &raw) == 0;
}

}  // namespace

bool PtyLine::Open(std::string& error)
{
    Close();
    auto fail = [&](const std::string& what) {
        error = what + ": " + strerror(errno);
        Close();
        return false;
    };
    _master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_master < 0)
        return fail("posix_openpt");
    if (grantpt(_master) != 0 || unlockpt(_master) != 0)
        return fail("unlocking the pseudo-terminal");
    char name[128];
    if (ptsname_r(_master, name, sizeof name) != 0)
        return fail("ptsname");
    if (!_makeRaw(_master))
        return fail("setting the pseudo-terminal raw");
    _spareSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (_spareSlave < 0)
        return fail(std::string("opening ") + name);
    _makeRaw(_spareSlave);
    if (fcntl(_master, F_SETFL, fcntl(_master, F_GETFL) | O_NONBLOCK) != 0)
        return fail("fcntl");
    _slavePath = name;
    return true;
}

void PtyLine::Close()
{
    if (_spareSlave >= 0)
        close(_spareSlave);
    if (_master >= 0)
        close(_master);
    _master = _spareSlave = -1;
    _slavePath.clear();
}

}  // namespace Sim
