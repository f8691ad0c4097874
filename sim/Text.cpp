#include "sim/Text.h"

#include <cstdio>

namespace Sim {

std::string TrimBlanks(const std::string& text)
{
    const char* blanks = " \t\r";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string SerialText(uint32_t serialNumber)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

}  // namespace Sim
