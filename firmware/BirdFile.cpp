// Loading, indexing and reading BIRD firmware images.
#include "firmware/BirdFile.h"

#include "common/Log.h"
#include "unix/aFile.h"

#include <zlib.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

// The inflate buffer holds eight times the compressed size and its length is a 32-bit
// value, so larger payloads are refused before anything is allocated.
constexpr unsigned long MAX_COMPRESSED_LENGTH = UINT32_MAX / 8;

uint32_t _be32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

int _clamp_int(int64_t value)
{
    if (value < INT_MIN)
        return INT_MIN;
    if (value > INT_MAX)
        return INT_MAX;
    return int(value);
}

// Unsigned number of the given base at the start of text: leading white space skipped,
// parsing stops at the first character that is not a digit; no digits gives 0.
uint32_t _parse_unsigned(const std::string& text, unsigned base)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    uint32_t value = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            break;
        if (digit >= base)
            break;
        value = value * base + digit;
    }
    return value;
}

bool _too_large(unsigned long length)
{
    if (length <= MAX_COMPRESSED_LENGTH)
        return false;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - compressed payload of %lu bytes is too large to inflate.\n", length);
    return true;
}

}  // namespace

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "")
{
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept
{
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this == &other)
        return *this;
    path = std::move(other.path);
    signature = other.signature;
    version = other.version;
    fileChecksum = other.fileChecksum;
    blockCount = other.blockCount;
    blocks = std::move(other.blocks);
    hasSerialOffsets = other.hasSerialOffsets;
    serialNumberOffset = other.serialNumberOffset;
    descriptorOffset = other.descriptorOffset;
    buffer = std::move(other.buffer);
    bufferLength = other.bufferLength;
    other._reset();
    return *this;
}

void BirdFile::_reset()
{
    path.clear();
    signature = version = fileChecksum = blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    buffer.reset();
    bufferLength = 0;
}

bool BirdFile::Load()
{
    const char* name = path.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", name);
    if (!aFile_Exists(name)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", name);
        return false;
    }
    aFileRef file = aFile_Open(name, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err), name);
        aFile_Close(&file);
        return false;
    }

    std::unique_ptr<unsigned char[]> raw;
    if (!_too_large(size > HEADER_SIZE ? size - HEADER_SIZE : 0)) {
        raw.reset(new (std::nothrow) unsigned char[size ? size : 1]);
        size_t got = 0;
        err = raw ? aFile_Read(file, raw.get(), size, &got) : aErrMemory;
        if (err != aErrNone)
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), name);
        else if (got < size)
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", name, got, size);
        if (err != aErrNone || got < size)
            raw.reset();
    }
    aFile_Close(&file);
    if (raw)
        return LoadBytes(raw.get(), size);
    FindSerialNumberOffsets();
    return false;
}

bool BirdFile::LoadBytes(const unsigned char* bytes, size_t size)
{
    if (size > HEADER_SIZE) {
        signature = _be32(bytes);
        version = (uint32_t(bytes[4]) << 8) | bytes[5];
    }
    bool loaded = false;
    if (DecompressData(bytes + (size > HEADER_SIZE ? HEADER_SIZE : 0), size > HEADER_SIZE ? size - HEADER_SIZE : 0)) {
        bool scanned = ScanBlocks(buffer.get(), bufferLength);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block scan %s\n", scanned ? "complete" : "found damage");
        loaded = true;
    }
    FindSerialNumberOffsets();
    return loaded;
}

void BirdFile::FindSerialNumberOffsets()
{
    const BirdBlock* offsets = _first_block(BIRD_BLOCK_OFFSETS);
    if (!offsets)
        return;
    hasSerialOffsets = true;
    if (blockCount == 0)
        return;
    // A damaged offsets block shorter than its two words yields only what it holds.
    unsigned char words[8] = {};
    memcpy(words, offsets->data, offsets->length < 8 ? offsets->length : 8);
    serialNumberOffset = _be32(words);
    descriptorOffset = _be32(words + 4);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", int(serialNumberOffset),
             int(descriptorOffset));
}

bool BirdFile::VerifyFile(const char* filePath)
{
    aFileRef file = aFile_Open(filePath, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath ? filePath : "");
        return false;
    }
    unsigned char header[HEADER_SIZE] = {};
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    if (err != aErrNone || got < HEADER_SIZE)
        return false;
    return memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0 && header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const unsigned char* source, unsigned long length)
{
    // The blocks of an earlier load point into the buffer being replaced.
    blocks.clear();
    blockCount = 0;
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    buffer.reset();
    bufferLength = 0;
    if (_too_large(length))
        return false;

    uint32_t capacity = uint32_t(length) * 8;
    buffer.reset(new (std::nothrow) unsigned char[capacity ? capacity : 1]);
    int z = Z_MEM_ERROR;
    uLongf produced = capacity;
    if (buffer)
        z = uncompress(buffer.get(), &produced, source, length);
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        bufferLength = 0;
        return false;
    }
    bufferLength = uint32_t(produced);
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned length)
{
    // remaining counts the bytes not yet accounted for by the declared structure; it goes
    // negative when the structure claims more bytes than the stream holds, but nothing is
    // ever read outside data[0, length).
    int64_t remaining = length;
    size_t pos = 0;
    bool result = true;
    blockCount = 0;

    uint32_t declared = length >= 4 ? _be32(data) : 0;
    pos = length >= 4 ? 4 : length;
    remaining -= 4;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    bool checksumAt = false;  // true when the checksum word sits at pos
    while (remaining > 4) {
        const unsigned char* head = data + pos;
        uint32_t payloadLength = _be32(head + 1);
        uint64_t room = uint64_t(remaining) - BLOCK_HEADER_SIZE;
        if (payloadLength > room) {
            if (blockCount >= declared) {
                // Every declared block is there: the rest is the checksum and trailing bytes.
                checksumAt = true;
            } else {
                // A declared block runs past the end of the stream: index only those that fit.
                remaining -= int64_t(BLOCK_HEADER_SIZE) + int64_t(payloadLength);
            }
            break;
        }
        BirdBlock block;
        block.type = head[0] & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((head[0] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = payloadLength;
        block.data = const_cast<unsigned char*>(head + BLOCK_HEADER_SIZE);
        if ((block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) && payloadLength >= 4)
            block.address = _be32(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, int(payloadLength));
        pos += BLOCK_HEADER_SIZE + payloadLength;
        remaining -= int64_t(BLOCK_HEADER_SIZE) + int64_t(payloadLength);
        blockCount++;
        blocks.push_back(block);
        if (block.type == BIRD_BLOCK_INFO) {
            for (int field = INFO_BUILD; field <= INFO_MODEL; field++)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", InfoFieldText(InfoField(field)).c_str());
        }
    }
    if (remaining >= 4)
        checksumAt = true;

    if (checksumAt) {
        fileChecksum = _be32(data + pos);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", fileChecksum);
    }
    remaining -= 4;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 _clamp_int(remaining));
        result = false;
    }
    if (blockCount != declared) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", int(blockCount),
                 int(declared));
        result = false;
    }
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

const BirdBlock* BirdFile::_first_block(BLOCK_TYPE type) const
{
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            return &block;
    return nullptr;
}

std::string BirdFile::InfoFieldText(InfoField field) const
{
    const BirdBlock* info = _first_block(BIRD_BLOCK_INFO);
    if (!info)
        return std::string();
    // A damaged information block shorter than 64 bytes reads as spaces past its end.
    std::string text(INFO_FIELD_SIZE, ' ');
    uint32_t start = uint32_t(field) * INFO_FIELD_SIZE;
    for (uint32_t i = 0; i < INFO_FIELD_SIZE && start + i < info->length; i++)
        text[i] = char(info->data[start + i]);
    return text;
}

std::string BirdFile::GetVersion() const
{
    std::string field = InfoFieldText(INFO_VERSION);
    if (field.empty())
        return field;
    field.resize(INFO_FIELD_SIZE - 1);
    size_t end = field.find_first_of(std::string(" \0", 2));
    return end == std::string::npos ? field : field.substr(0, end);
}

uint32_t BirdFile::GetBuild() const
{
    std::string field = InfoFieldText(INFO_BUILD);
    if (field.empty())
        return 0;
    field.resize(INFO_FIELD_SIZE - 1);
    return _parse_unsigned(field, 10);
}

uint32_t BirdFile::GetSerialNumber() const
{
    std::string field = InfoFieldText(INFO_SERIAL);
    if (field.empty())
        return 0;
    field.resize(8);
    return _parse_unsigned(field, 16);
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : blocks) {
        if (block.type != type)
            continue;
        std::string text;
        for (uint32_t i = 0; i < block.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), int(i));
                text.clear();
            }
            unsigned char byte = block.data[i];
            text += (byte >= 0x20 && byte < 0x7F) ? char(byte) : ' ';
            printf("%02X ", byte);
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
