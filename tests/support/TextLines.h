#pragma once
// Program output taken apart into lines.
#include <regex>
#include <string>
#include <vector>

namespace testsupport {

// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& text);

// True when one line of the text is exactly this line.
bool HasLine(const std::string& text, const std::string& line);

// True when one line of the text matches the pattern as a whole.
bool HasLineMatching(const std::string& text, const std::regex& pattern);

}  // namespace testsupport
