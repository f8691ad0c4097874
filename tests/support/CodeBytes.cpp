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

}  // namespace testsupport
