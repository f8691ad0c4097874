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

// Code an LPC17xx chip would boot (at least 32 bytes): word 7 of the vector table makes
// the first eight words sum to zero, so a flashing tool has nothing to patch.
std::vector<uint8_t> BootableLpcCode(size_t length, uint32_t seed = 1);

}  // namespace testsupport
