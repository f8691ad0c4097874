#include "support/TextLines.h"

#include <algorithm>
#include <sstream>

namespace testsupport {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool HasLine(const std::string& text, const std::string& line)
{
    std::vector<std::string> lines = Lines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool HasLineMatching(const std::string& text, const std::regex& pattern)
{
    for (const std::string& line : Lines(text))
        if (std::regex_match(line, pattern))
            return true;
    return false;
}

}  // namespace testsupport
