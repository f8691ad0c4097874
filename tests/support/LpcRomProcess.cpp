#include "support/LpcRomProcess.h"

namespace testsupport {

std::string LpcRomPath()
{
    return UPDATER_BINARY_DIR "/sim/lpcrom";
}

std::string LpcRomProcess::PtyPath() const
{
    for (const std::string& line : Lines())
        if (line.rfind("pty ", 0) == 0)
            return line.substr(4);
    return "";
}

}  // namespace testsupport
