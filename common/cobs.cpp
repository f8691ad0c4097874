#include "common/cobs.h"

#include <cstdio>
#include <cstdlib>

#define COBS_ASSERT(condition)                                                \
    do {                                                                      \
        if (!(condition)) {                                                   \
            std::fprintf(stderr, "cobs: assertion failed: %s\n", #condition); \
            std::abort();                                                     \
        }                                                                     \
    } while (0)

size_t cobs_encode(const uint8_t* inputData, size_t length, uint8_t* outputData)
{
    COBS_ASSERT(inputData != NULL);   // NOLINT(modernize-use-nullptr): its text is the abort message
    COBS_ASSERT(outputData != NULL);  // NOLINT(modernize-use-nullptr): its text is the abort message
    size_t codePos = 0;
    size_t writePos = 1;
    uint8_t code = 1;
    for (size_t i = 0; i < length; i++) {
        if (inputData[i] != 0) {
            outputData[writePos++] = inputData[i];
            code++;
        }
        if (inputData[i] == 0 || code == 0xFF) {  // close the block and open the next at once
            outputData[codePos] = code;
            codePos = writePos++;
            code = 1;
        }
    }
    outputData[codePos] = code;
    return writePos;
}

namespace {

// Input bytes that the output has caught up with wait here until they are encoded.
struct _Lookahead {
    static constexpr size_t kCapacity = 10;
    uint8_t bytes[kCapacity];
    size_t head = 0;
    size_t count = 0;
    size_t readPos = 0;  // next input position to take in

    // Takes in every unread input byte at positions up to and including position.
    bool takeUpTo(const uint8_t* data, size_t length, size_t position)
    {
        while (readPos < length && readPos <= position) {
            if (count == kCapacity)
                return false;
            bytes[(head + count) % kCapacity] = data[readPos++];
            count++;
        }
        return true;
    }
    uint8_t pop()
    {
        uint8_t byte = bytes[head];
        head = (head + 1) % kCapacity;
        count--;
        return byte;
    }
};

}  // namespace

size_t cobs_encode_inplace(uint8_t* data, size_t length)
{
    COBS_ASSERT(data != NULL);  // NOLINT(modernize-use-nullptr): its text is the abort message
    _Lookahead ahead;
    size_t codePos = 0;
    size_t writePos = 1;
    uint8_t code = 1;
    if (!ahead.takeUpTo(data, length, writePos))
        return 0;
    for (size_t consumed = 0; consumed < length; consumed++) {
        if (ahead.count == 0 && !ahead.takeUpTo(data, length, ahead.readPos))
            return 0;
        uint8_t byte = ahead.pop();
        if (byte != 0) {
            if (!ahead.takeUpTo(data, length, writePos))
                return 0;
            data[writePos++] = byte;
            code++;
        }
        if (byte == 0 || code == 0xFF) {
            data[codePos] = code;
            codePos = writePos++;
            if (!ahead.takeUpTo(data, length, codePos))
                return 0;
            code = 1;
        }
    }
    data[codePos] = code;
    return writePos;
}

size_t cobs_decode(const uint8_t* inputData, size_t length, uint8_t* outputData)
{
    COBS_ASSERT(inputData != NULL);   // NOLINT(modernize-use-nullptr): its text is the abort message
    COBS_ASSERT(outputData != NULL);  // NOLINT(modernize-use-nullptr): its text is the abort message
    size_t readPos = 0;
    size_t writePos = 0;
    while (readPos < length) {
        uint8_t code = inputData[readPos];
        if (code == 0)
            return 0;  // a zero never appears inside an encoded block
        size_t blockEnd = readPos + code;
        if (code != 1 && blockEnd > length)
            return 0;
        for (size_t i = readPos + 1; i < blockEnd; i++)
            outputData[writePos++] = inputData[i];
        readPos = blockEnd;
        if (code != 0xFF && readPos != length)
            outputData[writePos++] = 0;
    }
    return writePos;
}

size_t cobs_decode_inplace(uint8_t* data, size_t length)
{
    COBS_ASSERT(data != NULL);  // NOLINT(modernize-use-nullptr): its text is the abort message
    return cobs_decode(data, length, data);
}
