// BirdFile: a BIRD firmware image loaded into memory.
//
// File layout (integers big-endian):
//   "bird" | format version (2 bytes, both non-zero) | zlib stream
// The zlib stream inflates to the block stream:
//   declared block count (4) | blocks... | file checksum (4)
// and each block is:
//   type and flags (1: type = low 5 bits, flags = high 3 bits) | length L (4) | payload (L)
//
// A BirdFile owns the inflated block stream; every BirdBlock points into it, so the
// block records stay valid while the file lives and moves with it. Patching (serial
// number, descrambling) changes the buffer in memory only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BirdBlock {
    uint8_t type = 0;               // 0..31
    uint8_t flags = 0;              // 0..7, handed to the device unchanged
    uint32_t length = 0;            // payload length
    uint32_t address = 0;           // load address for loader and firmware blocks, else 0
    unsigned char* data = nullptr;  // payload inside the owning BirdFile's buffer (not owned)
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BIRD_BLOCK_LOADER = 0,
        BIRD_BLOCK_FIRMWARE = 1,
        BIRD_BLOCK_OFFSETS = 2,
        BIRD_BLOCK_INFO = 4,
        BIRD_BLOCK_START_ADDRESS = 5,
    };

    static constexpr unsigned char BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
    static constexpr unsigned char BIRD_FILE_VERSION[2] = {0x01, 0x01};
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // Sizes of the fixed parts of the format.
    static constexpr unsigned HEADER_SIZE = 6;
    static constexpr unsigned BLOCK_HEADER_SIZE = 5;
    static constexpr unsigned INFO_FIELD_SIZE = 16;
    static constexpr unsigned INFO_BLOCK_SIZE = 4 * INFO_FIELD_SIZE;

    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data") on failure.
    explicit BirdFile(const char* path);

    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    ~BirdFile() = default;

    // Reading and indexing.
    bool Load();
    // Loads a whole BIRD file already in memory (header included), as Load does from disk.
    bool LoadBytes(const unsigned char* bytes, size_t size);
    static bool VerifyFile(const char* path);
    bool DecompressData(const unsigned char* source, unsigned long length);
    bool ScanBlocks(const unsigned char* data, unsigned length);
    void FindSerialNumberOffsets();

    // Questions about the image.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    std::string GetVersion() const;
    uint32_t GetBuild() const;
    uint32_t GetSerialNumber() const;
    bool DumpBlocks(BLOCK_TYPE type) const;

    // Patching and checks before an image goes to a device.
    bool ReplaceSerialNumber(unsigned int serialNumber);
    bool DecodeFirmwareBlocks(const unsigned int* key);
    bool ValidateModel(const char* model) const;
    bool ValidateSerialNumber(unsigned int serialNumber) const;
    bool ValidateData(unsigned char* pattern, unsigned count) const;

    // The information block's four text fields (16 characters each, space padded).
    enum InfoField { INFO_BUILD = 0, INFO_VERSION = 1, INFO_SERIAL = 2, INFO_MODEL = 3 };
    std::string InfoFieldText(InfoField field) const;

    const std::string& Path() const { return path; }
    const unsigned char* Data() const { return buffer.get(); }
    uint32_t DataLength() const { return bufferLength; }
    const std::vector<BirdBlock>& Blocks() const { return blocks; }

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t fileChecksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;

private:
    const BirdBlock* _first_block(BLOCK_TYPE type) const;
    void _reset();

    std::unique_ptr<unsigned char[]> buffer;
    uint32_t bufferLength = 0;
};
