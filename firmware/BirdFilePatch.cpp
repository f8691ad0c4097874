// Personalising, descrambling and checking a loaded BIRD image. Every change is made
// to the inflated buffer in memory; the file on disk is never written.
#include "firmware/BirdFile.h"

#include "common/Log.h"

#include <cstdio>
#include <cstring>

namespace {

uint32_t _le32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void _put_le32(unsigned char* p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = uint8_t(value >> (8 * i));
}

// True when the firmware block holds the device addresses [address, address + size).
// A block covers its load address up to load address + length - 4.
bool _covers(const BirdBlock& block, uint64_t address, uint64_t size)
{
    if (block.length < 4)
        return false;
    uint64_t end = uint64_t(block.address) + block.length - 4;
    return block.address <= address && address + size <= end;
}

// Payload byte of the device address inside a block that covers it.
unsigned char* _at(const BirdBlock& block, uint64_t address)
{
    return block.data + (address - block.address) + 4;
}

}  // namespace

bool BirdFile::ReplaceSerialNumber(unsigned int serialNumber)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    bool result = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BIRD_BLOCK_FIRMWARE)
            continue;
        if (serialNumberOffset != 0) {
            if (_covers(block, serialNumberOffset, 4)) {
                unsigned char* word = _at(block, serialNumberOffset);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", _le32(word),
                         serialNumber);
                _put_le32(word, serialNumber);
            }
            result = true;
        }
        if (descriptorOffset != 0 && _covers(block, descriptorOffset, 16)) {
            // The USB string descriptor holds UTF-16LE: only the low bytes are written.
            unsigned char* chars = _at(block, descriptorOffset);
            for (size_t i = 0; i < 8; i++)
                chars[2 * i] = uint8_t(text[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key)
{
    unsigned char keyBytes[16];
    for (int w = 0; w < 4; w++)
        for (int b = 0; b < 4; b++)
            keyBytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));

    for (const BirdBlock& block : blocks) {
        if (block.type != BIRD_BLOCK_FIRMWARE)
            continue;
        unsigned char previous = 0;
        unsigned k = 0;
        for (uint32_t i = 4; i < block.length; i++) {
            unsigned char plain = block.data[i] ^ keyBytes[k] ^ previous;
            block.data[i] = plain;
            previous = plain;
            k = (k + 1) % 16;
        }
    }
    return true;
}

bool BirdFile::ValidateModel(const char* model) const
{
    std::string field = InfoFieldText(INFO_MODEL);
    if (field.empty() || !model)
        return false;
    field.resize(strlen(field.c_str()));  // the field ends at a terminator inside it, if any
    while (!field.empty() && field.back() == ' ')
        field.pop_back();
    if (strncmp(field.c_str(), model, strlen(model)) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::ValidateSerialNumber(unsigned int serialNumber) const
{
    return GetSerialNumber() == serialNumber;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned count) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && count > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BIRD_BLOCK_FIRMWARE || count > block.length)
                continue;
            // Every start position where the whole pattern fits, the last one included.
            for (uint32_t i = 0; i <= block.length - count; i++) {
                if (memcmp(block.data + i, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}
