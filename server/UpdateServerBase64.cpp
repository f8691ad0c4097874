// Base64 (RFC 4648 standard alphabet, "=" padding) for firmware images sent as one text line.
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "server/UpdateServerRequest.h"

namespace {

const char encoding_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const int mod_table[] = {0, 2, 1};

constexpr unsigned char INVALID = 0xFF;
constexpr uint32_t INVALID_BITS = 0xFF000000u;

// Character value for every byte; INVALID for bytes outside the alphabet.
const unsigned char* _build_decoding_table()
{
    static unsigned char table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        for (auto& value : table)
            value = INVALID;
        for (unsigned char i = 0; i < 64; ++i)
            table[static_cast<unsigned char>(encoding_table[i])] = i;
    });
    return table;
}

// For each of the four places of a quad, every byte's value already shifted into its
// place of the 24-bit group, or INVALID_BITS: one OR per character decodes a quad.
const uint32_t (*_placed_tables())[256]
{
    static uint32_t tables[4][256];
    static std::once_flag once;
    std::call_once(once, [] {
        const unsigned char* table = _build_decoding_table();
        for (int place = 0; place < 4; ++place)
            for (int c = 0; c < 256; ++c)
                tables[place][c] = table[c] == INVALID ? INVALID_BITS : uint32_t(table[c]) << (18 - 6 * place);
    });
    return tables;
}

}  // namespace

char* UpdateServerRequest::base64_encode(const unsigned char* data, size_t length, size_t* out_length)
{
    const size_t size = 4 * ((length + 2) / 3);
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (!text)
        return nullptr;
    size_t j = 0;
    for (size_t i = 0; i < length;) {
        const uint32_t a = data[i++];
        const uint32_t b = i < length ? data[i++] : 0;
        const uint32_t c = i < length ? data[i++] : 0;
        const uint32_t triple = (a << 16) | (b << 8) | c;
        text[j++] = encoding_table[(triple >> 18) & 0x3F];
        text[j++] = encoding_table[(triple >> 12) & 0x3F];
        text[j++] = encoding_table[(triple >> 6) & 0x3F];
        text[j++] = encoding_table[triple & 0x3F];
    }
    for (int i = 0; i < mod_table[length % 3]; ++i)
        text[size - 1 - i] = '=';
    text[size] = '\0';
    if (out_length)
        *out_length = size;
    return text;
}

namespace {

// "=" padding at the end of a text whose length is a multiple of 4: 0, 1 or 2.
size_t _padding(const unsigned char* in, size_t length)
{
    if (length < 4 || in[length - 1] != '=')
        return 0;
    return in[length - 2] == '=' ? 2 : 1;
}

// Decodes length characters (a multiple of 4) into out, which may be in itself: each
// quad's three bytes land before the next quad is read. Every quad but a padded last
// one goes out as one 4-byte store whose last byte the next quad overwrites, so out
// has room for one byte more than the decoded bytes (or is in). False on a character
// outside the alphabet or misplaced padding.
bool _decode(const unsigned char* in, size_t length, size_t pad, unsigned char* out)
{
    const unsigned char* table = _build_decoding_table();
    const size_t full = pad ? length - 4 : length;
    const uint32_t(*placed)[256] = _placed_tables();
    for (size_t i = 0; i < full; i += 4, out += 3) {
        const uint32_t quad = placed[0][in[i]] | placed[1][in[i + 1]] | placed[2][in[i + 2]] | placed[3][in[i + 3]];
        if (quad & INVALID_BITS)
            return false;
        const uint32_t big_endian =
            std::endian::native == std::endian::little ? __builtin_bswap32(quad << 8) : quad << 8;
        std::memcpy(out, &big_endian, 4);
    }
    if (!pad)
        return true;
    const unsigned a = table[in[full]], b = table[in[full + 1]];
    const unsigned c = pad == 2 ? 0 : table[in[full + 2]];
    if ((a | b | c) & 0xC0)
        return false;
    const uint32_t quad = (a << 18) | (b << 12) | (c << 6);
    *out++ = static_cast<unsigned char>(quad >> 16);
    if (pad == 1)
        *out = static_cast<unsigned char>(quad >> 8);
    return true;
}

}  // namespace

// Rejects what is not Base64: a length that is not a multiple of 4, characters
// outside the alphabet, and "=" anywhere but in the last two places.
unsigned char* UpdateServerRequest::base64_decode(const char* text, size_t length, size_t* out_length)
{
    if (length % 4 != 0 || (length && !text))
        return nullptr;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const size_t pad = _padding(in, length);
    const size_t size = length / 4 * 3 - pad;
    unsigned char* bytes = static_cast<unsigned char*>(std::malloc(size + 1));
    if (!bytes)
        return nullptr;
    if (!_decode(in, length, pad, bytes)) {
        std::free(bytes);
        return nullptr;
    }
    bytes[size] = 0;
    if (out_length)
        *out_length = size;
    return bytes;
}

bool UpdateServerRequest::base64_decode_in_place(char* text, size_t length, size_t* out_length)
{
    if (length % 4 != 0 || (length && !text))
        return false;
    auto* in = reinterpret_cast<unsigned char*>(text);
    const size_t pad = _padding(in, length);
    if (!_decode(in, length, pad, in))
        return false;
    if (out_length)
        *out_length = length / 4 * 3 - pad;
    return true;
}
