#pragma once
// Consistent Overhead Byte Stuffing: removes every zero byte from a block so that a zero
// can delimit frames. The delimiter itself is not part of these functions.
// A null pointer is a programming error and stops the program.

#include <cstddef>
#include <cstdint>

// Largest encoded size of length input bytes: one code byte per started block of 254.
constexpr size_t cobs_max_encoded(size_t length)
{
    return length + length / 254 + 1;
}

size_t cobs_encode(const uint8_t* inputData, size_t length, uint8_t* outputData);
// The buffer must have room for cobs_max_encoded(length) bytes. 0 on failure.
size_t cobs_encode_inplace(uint8_t* data, size_t length);
// Decoded length, or 0 for malformed input. The output never runs ahead of the input.
size_t cobs_decode(const uint8_t* inputData, size_t length, uint8_t* outputData);
size_t cobs_decode_inplace(uint8_t* data, size_t length);
