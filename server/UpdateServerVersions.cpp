// Ordering of build lists by their version texts, newest first.
#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "common/Log.h"
#include "common/aVersion.h"
#include "server/UpdateServerRequest.h"

namespace {

using Version = std::array<int, 3>;

// The three parts as numbers (leading space and sign allowed, trailing text ignored),
// or nothing when the text has no three convertible parts.
std::optional<Version> _parse_version(const std::string& text)
{
    const std::vector<std::string> parts = UpdateServerRequest::SplitTessarineVersion(text);
    try {
        if (parts.size() != 3)
            throw std::invalid_argument("version has no three parts");
        return Version{std::stoi(parts[0]), std::stoi(parts[1]), std::stoi(parts[2])};
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
        return std::nullopt;
    }
}

// True when a is strictly newer than b; each part counts with its low 8 bits only.
bool _sortVersion(const Version& a, const Version& b)
{
    return !aVersion_IsAtLeastCompare(static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                                      static_cast<uint8_t>(b[2]), static_cast<uint8_t>(a[0]),
                                      static_cast<uint8_t>(a[1]), static_cast<uint8_t>(a[2]));
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitTessarineVersion(const std::string& version)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    if (parts.size() != 3)
        parts.clear();
    return parts;
}

// A comparison that treats unreadable versions as equal to everything is no strict
// weak order (sorting with it is undefined), so those entries are set apart and
// appended after the readable ones, in build order.
SortedBuildList UpdateServerRequest::SortBuildsByVersion(const BuildList& builds)
{
    std::vector<std::pair<Version, std::pair<std::string, std::string>>> readable;
    SortedBuildList unreadable;
    for (const auto& entry : builds) {
        if (auto version = _parse_version(entry.second))
            readable.emplace_back(*version, entry);
        else
            unreadable.push_back(entry);
    }
    std::stable_sort(readable.begin(), readable.end(),
                     [](const auto& a, const auto& b) { return _sortVersion(a.first, b.first); });
    SortedBuildList sorted;
    sorted.reserve(builds.size());
    for (auto& entry : readable)
        sorted.push_back(std::move(entry.second));
    for (auto& entry : unreadable)
        sorted.push_back(std::move(entry));
    return sorted;
}
