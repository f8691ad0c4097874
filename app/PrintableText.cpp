#include "app/PrintableText.h"

#include <cstdint>
#include <cstdio>

namespace {

const char* const REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

struct CodePoint {
    uint32_t value = 0;
    size_t length = 0;  // 0: the bytes at this place are no UTF-8
};

bool _continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The UTF-8 sequence at text[at]; overlong forms, surrogates and values beyond
// U+10FFFF are no UTF-8.
CodePoint _decode(const std::string& text, size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return {lead, 1};
    size_t length = 0;
    uint32_t value = 0;
    uint32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, smallest = 0x10000;
    } else {
        return {};
    }
    if (at + length > text.size())
        return {};
    for (size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!_continuation(byte))
            return {};
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return {};
    return {value, length};
}

void _append_escaped(std::string& out, const std::string& text, size_t at, size_t length)
{
    for (size_t i = at; i < at + length; ++i) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
        out += hex;
    }
}

bool _control(uint32_t value)
{
    return value < 0x20 || (value >= 0x7F && value <= 0x9F);
}

}  // namespace

std::string _table_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const CodePoint point = _decode(text, at);
        const size_t length = point.length ? point.length : 1;
        if (point.length == 0 || _control(point.value))
            _append_escaped(out, text, at, length);
        else
            out.append(text, at, length);
        at += length;
    }
    return out;
}

std::string _xml_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const CodePoint point = _decode(text, at);
        if (point.length == 0) {
            out += REPLACEMENT;
            ++at;
            continue;
        }
        const uint32_t value = point.value;
        const bool allowed =
            value == '\t' || value == '\n' || value == '\r' || (value >= 0x20 && value != 0xFFFE && value != 0xFFFF);
        if (allowed)
            out.append(text, at, point.length);
        else
            _append_escaped(out, text, at, point.length);
        at += point.length;
    }
    return out;
}
