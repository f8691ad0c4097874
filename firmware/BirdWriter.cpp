// Making BIRD files: the block stream, its checksum, compression and an atomic write.
#include "firmware/BirdWriter.h"

#include "firmware/BirdFile.h"

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

void _put_be32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

std::string _info_field(const std::string& text, const char* what)
{
    if (text.size() > BirdFile::INFO_FIELD_SIZE)
        throw std::invalid_argument(std::string("BIRD information ") + what + " longer than 16 characters: " + text);
    std::string field = text;
    field.resize(BirdFile::INFO_FIELD_SIZE, ' ');
    return field;
}

std::string _errno_text(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + strerror(errno);
}

bool _write_all(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

std::string _temporary_name(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + name + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

BirdWriter& BirdWriter::AddBlock(uint8_t type, std::vector<uint8_t> payload, uint8_t flags)
{
    if (type > BirdFile::BIRD_FILE_TYPE_MASK)
        throw std::invalid_argument("BIRD block type above 31");
    if (flags > 7)
        throw std::invalid_argument("BIRD block flags above 7");
    if (payload.size() > UINT32_MAX)
        throw std::invalid_argument("BIRD block payload too large");
    blocks.push_back(Block{type, flags, std::move(payload)});
    return *this;
}

BirdWriter& BirdWriter::AddLoader(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags)
{
    std::vector<uint8_t> payload;
    payload.reserve(code.size() + 4);
    _put_be32(payload, address);
    payload.insert(payload.end(), code.begin(), code.end());
    return AddBlock(BirdFile::BIRD_BLOCK_LOADER, std::move(payload), flags);
}

BirdWriter& BirdWriter::AddFirmware(uint32_t address, const std::vector<uint8_t>& code, uint8_t flags)
{
    std::vector<uint8_t> payload;
    payload.reserve(code.size() + 4);
    _put_be32(payload, address);
    payload.insert(payload.end(), code.begin(), code.end());
    return AddBlock(BirdFile::BIRD_BLOCK_FIRMWARE, std::move(payload), flags);
}

BirdWriter& BirdWriter::AddOffsets(uint32_t serialNumberOffset, uint32_t descriptorOffset)
{
    std::vector<uint8_t> payload;
    _put_be32(payload, serialNumberOffset);
    _put_be32(payload, descriptorOffset);
    return AddBlock(BirdFile::BIRD_BLOCK_OFFSETS, std::move(payload));
}

BirdWriter& BirdWriter::AddInfo(uint32_t build, const std::string& version, uint32_t serialNumber,
                                const std::string& model)
{
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serialNumber);
    return AddInfoText(std::to_string(build), version, serial, model);
}

BirdWriter& BirdWriter::AddInfoText(const std::string& build, const std::string& version, const std::string& serial,
                                    const std::string& model)
{
    std::string text = _info_field(build, "build") + _info_field(version, "version") +
                       _info_field(serial, "serial number") + _info_field(model, "model");
    return AddBlock(BirdFile::BIRD_BLOCK_INFO, std::vector<uint8_t>(text.begin(), text.end()));
}

BirdWriter& BirdWriter::AddStartAddress(uint32_t address)
{
    std::vector<uint8_t> payload;
    _put_be32(payload, address);
    return AddBlock(BirdFile::BIRD_BLOCK_START_ADDRESS, std::move(payload));
}

BirdWriter& BirdWriter::SetFormatVersion(uint16_t version)
{
    formatVersion = version;
    return *this;
}

BirdWriter& BirdWriter::SetLevel(int compressionLevel)
{
    level = compressionLevel;
    return *this;
}

uint32_t BirdWriter::Checksum(const uint8_t* data, size_t length)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        uInt piece = length > 0x40000000 ? 0x40000000 : uInt(length);
        crc = crc32(crc, data, piece);
        data += piece;
        length -= piece;
    }
    return uint32_t(crc);
}

std::vector<uint8_t> BirdWriter::EncodeBlock(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> out;
    out.reserve(payload.size() + BirdFile::BLOCK_HEADER_SIZE);
    out.push_back(uint8_t((type & BirdFile::BIRD_FILE_TYPE_MASK) | ((flags << 5) & BirdFile::BIRD_FILE_FLAG_MASK)));
    _put_be32(out, uint32_t(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> BirdWriter::BlockStream() const
{
    size_t total = 8;
    for (const Block& block : blocks)
        total += BirdFile::BLOCK_HEADER_SIZE + block.payload.size();
    std::vector<uint8_t> stream;
    stream.reserve(total);
    _put_be32(stream, uint32_t(blocks.size()));
    for (const Block& block : blocks) {
        std::vector<uint8_t> encoded = EncodeBlock(block.type, block.flags, block.payload);
        stream.insert(stream.end(), encoded.begin(), encoded.end());
    }
    _put_be32(stream, Checksum(stream.data(), stream.size()));
    return stream;
}

std::vector<uint8_t> BirdWriter::Compress(const std::vector<uint8_t>& data, int compressionLevel)
{
    uLongf length = compressBound(data.size());
    std::vector<uint8_t> out(length);
    int z = compress2(out.data(), &length, data.data(), data.size(), compressionLevel);
    if (z != Z_OK)
        throw std::runtime_error("zlib compress2 failed with " + std::to_string(z));
    out.resize(length);
    return out;
}

std::vector<uint8_t> BirdWriter::Wrap(const std::vector<uint8_t>& blockStream, uint16_t version, int compressionLevel)
{
    std::vector<uint8_t> file(BirdFile::BIRD_FILE_SIGNATURE, BirdFile::BIRD_FILE_SIGNATURE + 4);
    file.push_back(uint8_t(version >> 8));
    file.push_back(uint8_t(version));
    std::vector<uint8_t> compressed = Compress(blockStream, compressionLevel);
    file.insert(file.end(), compressed.begin(), compressed.end());
    return file;
}

std::vector<uint8_t> BirdWriter::FileBytes() const
{
    return Wrap(BlockStream(), formatVersion, level);
}

bool BirdWriter::Write(const std::string& path, std::string* error) const
{
    std::vector<uint8_t> bytes;
    try {
        bytes = FileBytes();
    } catch (const std::exception& e) {
        if (error)
            *error = e.what();
        return false;
    }
    return WriteBytes(path, bytes, error);
}

bool BirdWriter::WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error)
{
    std::string temporary = _temporary_name(path);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error)
            *error = _errno_text("cannot create", temporary);
        return false;
    }
    bool ok = _write_all(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    if (!ok && error)
        *error = _errno_text("cannot write", temporary);
    if (::close(fd) != 0 && ok) {
        ok = false;
        if (error)
            *error = _errno_text("cannot close", temporary);
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        if (error)
            *error = _errno_text("cannot rename to", path);
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

void BirdWriter::Scramble(std::vector<uint8_t>& code, const uint32_t key[4])
{
    uint8_t keyBytes[16];
    for (int w = 0; w < 4; w++)
        for (int b = 0; b < 4; b++)
            keyBytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    uint8_t previous = 0;
    for (size_t i = 0; i < code.size(); i++) {
        uint8_t plain = code[i];
        code[i] = plain ^ keyBytes[i % 16] ^ previous;
        previous = plain;
    }
}
