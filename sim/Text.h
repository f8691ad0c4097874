#pragma once
// Small text helpers shared by the simulators' settings and listings.
#include <cstdint>
#include <string>

namespace Sim {

// The text without its leading and trailing blanks (spaces, tabs, carriage returns).
std::string TrimBlanks(const std::string& text);

// A serial number as the programs print it: eight upper-case hexadecimal digits.
std::string SerialText(uint32_t serialNumber);

}  // namespace Sim
