// BirdWriter: makes BIRD firmware images, the inverse of BirdFile (blocks in, file out).
//
//   BirdWriter w;
//   w.AddLoader(0x20000000, loaderCode)
//    .AddFirmware(0x60000000, firmwareCode)
//    .AddOffsets(0x60001000, 0x60002000)
//    .AddInfo(1234, "2.10.3", 0x0ABC1234, "HUB8");
//   std::string error;
//   if (!w.Write("1234.bird", &error)) ...;      // atomic: temporary file, flush, rename
//   std::vector<uint8_t> bytes = w.FileBytes();  // or the file image in memory
//
// Trailing checksum rule: the block stream ends with the CRC-32 (the zlib / ISO-HDLC
// polynomial, as computed by zlib's crc32) of every block-stream byte before it, that is
// the declared block count and all blocks. Readers log this word but never check it.
//
// The Add* helpers throw std::invalid_argument for values the format cannot hold (a type
// above 31, flags above 7, an information text longer than 16 characters).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class BirdWriter {
public:
    struct Block {
        uint8_t type = 0;
        uint8_t flags = 0;
        std::vector<uint8_t> payload;
    };

    static constexpr uint16_t DEFAULT_FORMAT_VERSION = 0x0101;
    static constexpr int DEFAULT_LEVEL = 6;

    // Any block, payload as it goes into the file.
    BirdWriter& AddBlock(uint8_t type, std::vector<uint8_t> payload, uint8_t flags = 0);
    // Loader and firmware payloads: big-endian load address, then the code bytes.
    BirdWriter& AddLoader(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags = 0);
    BirdWriter& AddFirmware(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags = 0);
    // Serial-number and descriptor offsets (device addresses; 0 = absent).
    BirdWriter& AddOffsets(uint32_t serialNumberOffset, uint32_t descriptorOffset);
    // Information block: build in decimal, version text, serial number as 8 hexadecimal
    // digits, model name; each field padded with spaces to 16 characters.
    BirdWriter& AddInfo(uint32_t build, const std::string& version, uint32_t serialNumber, const std::string& model);
    // Information block from four raw texts (each at most 16 characters).
    BirdWriter& AddInfoText(const std::string& build, const std::string& version, const std::string& serial,
                            const std::string& model);
    // Start address of a recovery loader.
    BirdWriter& AddStartAddress(uint32_t address);

    // Header format version (both bytes must be non-zero for readers to accept the file)
    // and zlib compression level.
    BirdWriter& SetFormatVersion(uint16_t version);
    BirdWriter& SetLevel(int level);

    const std::vector<Block>& Blocks() const { return blocks; }

    // Inflated block stream: count, blocks, checksum.
    std::vector<uint8_t> BlockStream() const;
    // The whole file: header and compressed block stream.
    std::vector<uint8_t> FileBytes() const;
    // Writes FileBytes() to path through a temporary file in the same directory, so that
    // the final name never holds a partial file. On failure returns false and sets error.
    bool Write(const std::string& path, std::string* error = nullptr) const;

    // Building blocks for fixtures that need unusual files.
    static uint32_t Checksum(const uint8_t* data, size_t length);
    static std::vector<uint8_t> EncodeBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload);
    static std::vector<uint8_t> Compress(const std::vector<uint8_t>& data, int level = DEFAULT_LEVEL);
    static std::vector<uint8_t> Wrap(const std::vector<uint8_t>& blockStream,
                                     uint16_t formatVersion = DEFAULT_FORMAT_VERSION, int level = DEFAULT_LEVEL);
    static bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error = nullptr);
    // Scrambles code bytes the way DecodeFirmwareBlocks unscrambles them (key: four words,
    // most significant byte first; the stream restarts for every block).
    static void Scramble(std::vector<uint8_t>& code, const uint32_t key[4]);

private:
    std::vector<Block> blocks;
    uint16_t formatVersion = DEFAULT_FORMAT_VERSION;
    int level = DEFAULT_LEVEL;
};
