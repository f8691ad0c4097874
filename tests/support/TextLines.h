#pragma once
// Program output taken apart into lines.
#include <string>
#include <vector>

namespace testsupport {

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// True when one line of the text is exactly this line.
bool HasLine(const std::string& text, const std::string& line);

}  // namespace testsupport
