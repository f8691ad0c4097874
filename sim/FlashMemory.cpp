#include "sim/FlashMemory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace Sim {

FlashMemory::FlashMemory(std::string directory, uint32_t serialNumber)
    : _directory(std::move(directory)), _serial(serialNumber)
{
    if (!_directory.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(_directory, ec);
        if (ec)
            _fileError = "cannot create " + _directory + ": " + ec.message();
    }
}

std::string FlashMemory::PathFor(uint32_t address) const
{
    if (_directory.empty())
        return "";
    char name[32];
    snprintf(name, sizeof name, "%08X-%08X.bin", _serial, address);
    return (std::filesystem::path(_directory) / name).string();
}

void FlashMemory::Erase(uint32_t address)
{
    _images[address].clear();
    _write_file(address, nullptr, 0, true);
}

void FlashMemory::Append(uint32_t address, const uint8_t* data, size_t length)
{
    auto& image = _images[address];
    image.insert(image.end(), data, data + length);
    _write_file(address, data, length, false);
}

void FlashMemory::_write_file(uint32_t address, const uint8_t* data, size_t length, bool truncate)
{
    std::string path = PathFor(address);
    if (path.empty())
        return;
    FILE* f = fopen(path.c_str(), truncate ? "wb" : "ab");
    if (!f) {
        _fileError = path + ": " + strerror(errno);
        return;
    }
    if (length && fwrite(data, 1, length, f) != length)
        _fileError = path + ": short write";
    if (fclose(f) != 0)
        _fileError = path + ": " + strerror(errno);
}

}  // namespace Sim
