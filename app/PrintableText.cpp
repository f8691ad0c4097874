#include "app/PrintableText.h"

#include <cstdint>
#include <cstdio>

namespace {

const char* const REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence of more than one byte at `at`
// (no overlong forms, no surrogates, nothing above U+10FFFF); 0 when there is none.
size_t _utf8_length(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<uint8_t>(text[i]) : 0; };
    const uint8_t lead = byte(at);
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

void _append_escape(std::string& out, const char* format, unsigned value)
{
    char escape[8];
    snprintf(escape, sizeof escape, format, value);
    out += escape;
}

// U+FFFE and U+FFFF, the two non-characters XML forbids, both EF BF BE/BF.
bool _xml_nonchar(const std::string& text, size_t at, size_t length)
{
    return length == 3 && text.compare(at, 2, "\xEF\xBF") == 0 && static_cast<uint8_t>(text[at + 2]) >= 0xBE;
}

}  // namespace

std::string _terminal_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<uint8_t>(text[at]);
        const size_t length = byte < 0x80 ? 1 : _utf8_length(text, at);  // 0: no UTF-8
        if (byte >= 0x20 && byte < 0x7F)
            out += text[at];
        else if (length <= 1)
            _append_escape(out, "\\x%02x", byte);
        else if (byte == 0xC2 && static_cast<uint8_t>(text[at + 1]) < 0xA0)
            _append_escape(out, "\\u%04x", static_cast<uint8_t>(text[at + 1]));  // U+0080 to U+009F
        else
            out.append(text, at, length);
        at += length ? length : 1;
    }
    return out;
}

std::string _xml_text(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<uint8_t>(text[at]);
        const size_t length = byte < 0x80 ? 1 : _utf8_length(text, at);  // 0: no UTF-8
        if (length == 0) {
            out += REPLACEMENT;
            ++at;
            continue;
        }
        const bool control = byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
        if (control || _xml_nonchar(text, at, length)) {
            for (size_t i = at; i < at + length; ++i)
                _append_escape(out, "\\x%02x", static_cast<uint8_t>(text[i]));
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}
