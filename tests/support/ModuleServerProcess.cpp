#include "support/ModuleServerProcess.h"

namespace testsupport {

std::string ModuleServerPath()
{
    return UPDATER_BINARY_DIR "/app/module-server";
}

uint16_t ModuleServerProcess::Port() const
{
    for (const auto& line : Lines()) {
        size_t at = line.rfind(" port ");
        if (line.rfind("serving ", 0) == 0 && at != std::string::npos)
            return static_cast<uint16_t>(std::stoul(line.substr(at + 6)));
    }
    return 0;
}

}  // namespace testsupport
