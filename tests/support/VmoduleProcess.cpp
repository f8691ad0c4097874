#include "support/VmoduleProcess.h"

#include <cstdio>
#include <sstream>

namespace testsupport {

std::string VmodulePath()
{
    return UPDATER_BINARY_DIR "/sim/vmodule";
}

std::vector<std::string> VmoduleProcess::endpoint(uint32_t serial, const std::string& kind) const
{
    char hex[16];
    snprintf(hex, sizeof hex, "%08X", serial);
    for (const std::string& line : Lines()) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;)
            w.push_back(s);
        if (w.size() >= 3 && w[0] == "module" && w[1] == hex && w[2] == kind)
            return w;
    }
    return {};
}

std::string VmoduleProcess::TcpAddress(uint32_t serial) const
{
    auto w = endpoint(serial, "tcp");
    return w.size() == 5 ? w[3] : "";
}

uint16_t VmoduleProcess::TcpPort(uint32_t serial) const
{
    auto w = endpoint(serial, "tcp");
    return w.size() == 5 ? static_cast<uint16_t>(std::stoul(w[4])) : 0;
}

std::string VmoduleProcess::PtyPath(uint32_t serial) const
{
    auto w = endpoint(serial, "pty");
    return w.size() == 4 ? w[3] : "";
}

}  // namespace testsupport
