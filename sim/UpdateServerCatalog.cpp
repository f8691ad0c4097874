#include "sim/UpdateServerCatalog.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "firmware/BirdFile.h"

namespace fs = std::filesystem;

namespace Sim {

namespace {

bool _parse(const std::string& text, int base, uint32_t& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t result = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        result = result * base + digit;
    }
    if (result > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

std::string _version_of(const std::string& path)
{
    if (!BirdFile::VerifyFile(path.c_str()))
        return "";
    try {
        return BirdFile(path.c_str()).GetVersion();
    } catch (const std::exception&) {
        return "";
    }
}

}  // namespace

bool ParseHex32(const std::string& text, uint32_t& value)
{
    return text.size() <= 8 && _parse(text, 16, value);
}

bool ParseDecimal32(const std::string& text, uint32_t& value)
{
    return _parse(text, 10, value);
}

UpdateServerCatalog::UpdateServerCatalog(std::string firmware_dir, std::string config_path)
    : firmware_dir_(std::move(firmware_dir)), config_path_(std::move(config_path))
{
    if (config_path_.empty()) {
        const std::string fallback = firmware_dir_ + "/server.conf";
        if (fs::exists(fallback))
            config_path_ = fallback;
    }
}

bool UpdateServerCatalog::LoadConfig(std::string& error)
{
    firmware_.clear();
    latest_.clear();
    tokens_.clear();
    hidden_.clear();
    recovery_.clear();
    if (config_path_.empty())
        return true;
    std::ifstream in(config_path_);
    if (!in) {
        error = "cannot read " + config_path_;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty())
            continue;
        const std::string where = config_path_ + ":" + std::to_string(number) + ": ";
        uint32_t serial = 0, value = 0;
        if (w[0] == "firmware" && w.size() == 3 && ParseHex32(w[1], serial)) {
            firmware_[serial] = w[2];
        } else if (w[0] == "latest" && w.size() == 3 && ParseHex32(w[1], serial) && ParseDecimal32(w[2], value)) {
            latest_[serial] = value;
        } else if (w[0] == "hide" && w.size() == 3 && ParseHex32(w[1], serial) && ParseDecimal32(w[2], value)) {
            hidden_.emplace(serial, value);
        } else if (w[0] == "token" && w.size() == 3 && ParseHex32(w[1], serial)) {
            tokens_[serial] = w[2];
        } else if (w[0] == "recover" && w.size() == 7) {
            std::vector<uint32_t> fingerprint(4);
            RecoveryAnswer answer;
            bool ok = ParseHex32(w[5], answer.serial) && ParseDecimal32(w[6], answer.build);
            for (int i = 0; i < 4 && ok; ++i)
                ok = ParseHex32(w[1 + i], fingerprint[i]);
            if (!ok) {
                error = where + "recover needs four hexadecimal words, a serial number and a build";
                return false;
            }
            recovery_.emplace_back(fingerprint, answer);
        } else {
            error = where + "cannot read \"" + line + "\"";
            return false;
        }
    }
    return true;
}

std::string UpdateServerCatalog::DeviceDirectory(uint32_t serial) const
{
    char name[16];
    std::snprintf(name, sizeof name, "%08X", serial);
    return firmware_dir_ + "/" + name;
}

bool UpdateServerCatalog::KnowsDevice(uint32_t serial) const
{
    std::error_code ec;
    return fs::is_directory(DeviceDirectory(serial), ec) || firmware_.count(serial) || tokens_.count(serial) ||
           latest_.count(serial);
}

std::map<uint32_t, ServedBuild> UpdateServerCatalog::Builds(uint32_t serial) const
{
    std::map<uint32_t, ServedBuild> builds;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(DeviceDirectory(serial), ec)) {
        const fs::path& path = entry.path();
        uint32_t build = 0;
        if (path.extension() != ".bird" || !entry.is_regular_file(ec) || !ParseDecimal32(path.stem().string(), build))
            continue;
        builds[build] = ServedBuild{path.string()};
    }
    return builds;
}

std::map<uint32_t, ServedBuild> UpdateServerCatalog::Listed(uint32_t serial) const
{
    auto builds = Builds(serial);
    const auto [first, last] = hidden_.equal_range(serial);
    for (auto it = first; it != last; ++it)
        builds.erase(it->second);
    return builds;
}

std::optional<uint32_t> UpdateServerCatalog::Latest(uint32_t serial) const
{
    if (auto it = latest_.find(serial); it != latest_.end())
        return it->second;
    const auto builds = Listed(serial);
    if (builds.empty())
        return std::nullopt;
    return builds.rbegin()->first;
}

std::string UpdateServerCatalog::Version(const std::string& path) const
{
    std::error_code ec;
    const auto written = fs::last_write_time(path, ec);
    const auto size = fs::file_size(path, ec);
    if (ec)
        return "";
    {
        std::lock_guard<std::mutex> lock(versions_mutex_);
        auto it = versions_.find(path);
        if (it != versions_.end() && it->second.written == written && it->second.size == size)
            return it->second.version;
    }
    KnownVersion known{written, size, _version_of(path)};
    std::lock_guard<std::mutex> lock(versions_mutex_);
    versions_[path] = known;
    return known.version;
}

std::string UpdateServerCatalog::Firmware(uint32_t serial) const
{
    auto it = firmware_.find(serial);
    return it == firmware_.end() ? "std" : it->second;
}

std::optional<std::string> UpdateServerCatalog::Token(uint32_t serial) const
{
    auto it = tokens_.find(serial);
    if (it == tokens_.end())
        return std::nullopt;
    return it->second;
}

std::optional<RecoveryAnswer> UpdateServerCatalog::Recover(const uint32_t fingerprint[4]) const
{
    for (const auto& [words, answer] : recovery_)
        if (std::equal(words.begin(), words.end(), fingerprint))
            return answer;
    return std::nullopt;
}

}  // namespace Sim
