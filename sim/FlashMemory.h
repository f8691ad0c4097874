#pragma once
// A module's flash as images per load address: every transfer prepared for an
// address starts that image anew, and the bytes written to it follow. With a
// directory, each image is also kept in a file "<serial>-<address>.bin"
// (eight upper-case hex digits each) so that tests and users can compare it
// with the firmware image that was sent.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Sim {

class FlashMemory {
public:
    FlashMemory(std::string directory, uint32_t serialNumber);

    void Erase(uint32_t address);
    void Append(uint32_t address, const uint8_t* data, size_t length);
    std::map<uint32_t, std::vector<uint8_t>> Images() const { return _images; }
    // The file of the image at this address; "" without a directory.
    std::string PathFor(uint32_t address) const;
    // The last file error ("" when every write succeeded).
    const std::string& FileError() const { return _fileError; }

private:
    void _write_file(uint32_t address, const uint8_t* data, size_t length, bool truncate);
    std::string _directory;
    uint32_t _serial;
    std::map<uint32_t, std::vector<uint8_t>> _images;
    std::string _fileError;
};

}  // namespace Sim
