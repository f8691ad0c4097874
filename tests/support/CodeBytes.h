#pragma once
// Stand-in firmware code for images built in tests.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Pseudo-random code bytes that compress about as little as real firmware (a BIRD
// stream may inflate to at most eight times its compressed size); the same seed
// gives the same bytes.
std::vector<uint8_t> Code(size_t length, uint32_t seed = 1);

}  // namespace testsupport
