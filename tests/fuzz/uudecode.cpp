// Arbitrary text as a UU line: decoding never writes past the capacity, decodes at most
// what the line announces, and what it decodes encodes back to a line that decodes the same.
#include <cstdlib>
#include <string>
#include <vector>

#include "recovery/NXPSerialClass.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t capacity = data[0] % 80;  // around the 63 bytes a line can carry
    std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<uint8_t> buffer(capacity + 16, 0xA5);
    size_t n = NXPSerialClass::uudecode(buffer.data(), capacity, line.c_str());
    _check(n <= capacity);
    _check(n <= 63);
    for (size_t i = capacity; i < buffer.size(); ++i)
        _check(buffer[i] == 0xA5);
    if (n > 0)
        _check(static_cast<size_t>((line[0] - 32) & 0x3F) == n);

    char text[NXPSerialClass::UU_LINE_MAX];
    _check(NXPSerialClass::uuencode(text, buffer.data(), n) == n);
    std::vector<uint8_t> again(64, 0);
    _check(NXPSerialClass::uudecode(again.data(), again.size(), text) == n);
    for (size_t i = 0; i < n; ++i)
        _check(again[i] == buffer[i]);

    // The input's own bytes as data: encode, decode, compare.
    size_t m = size - 1 > 63 ? 63 : size - 1;
    _check(NXPSerialClass::uuencode(text, data + 1, size - 1) == m);
    _check(NXPSerialClass::uudecode(again.data(), again.size(), text) == m || m == 0);
    for (size_t i = 0; i < m; ++i)
        _check(again[i] == data[1 + i]);
    return 0;
}
