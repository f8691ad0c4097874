#include "support/CodeBytes.h"

namespace testsupport {

std::vector<uint8_t> Code(size_t length, uint32_t seed)
{
    std::vector<uint8_t> code(length);
    for (auto& byte : code) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return code;
}

std::vector<uint8_t> BootableLpcCode(size_t length, uint32_t seed)
{
    std::vector<uint8_t> code = Code(length, seed);
    auto word = [&code](size_t at) {
        return code[at] | code[at + 1] << 8 | code[at + 2] << 16 | static_cast<uint32_t>(code[at + 3]) << 24;
    };
    uint32_t total = 0;
    for (size_t at = 0; at < 28; at += 4)
        total += word(at);
    uint32_t check = 0u - total;
    for (int i = 0; i < 4; ++i)
        code[28 + i] = static_cast<uint8_t>(check >> (8 * i));
    return code;
}

}  // namespace testsupport
