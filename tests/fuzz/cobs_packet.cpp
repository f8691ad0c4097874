// Arbitrary bytes through COBS decoding, frame checks and packet assembly.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aPacket.h"
#include "common/aStreamCobs.h"
#include "common/cobs.h"
#include "common/crc8.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

// Feeds bytes to an assembler the way the link's reader does: reset once complete or refused.
void _assemble(aPacket* packet, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        aErr err = aPacket_AddByte(packet, bytes[i]);
        _check(packet->curSize <= aPACKET_MAXWIRE + 1);
        if (err != aErrNone) {
            aPacket_Reset(packet);
            continue;
        }
        if (aPacket_IsComplete(packet)) {
            uint8_t wire[aPACKET_MAXWIRE];
            size_t wireLength = 0;
            _check(aPacket_GetBytes(packet, wire, sizeof wire, &wireLength) == aErrNone);
            _check(wireLength == packet->dataSize + 2u && packet->address != 0);
            aPacket* copy = aPacket_Copy(packet);
            _check(copy != nullptr && std::memcmp(copy->data, packet->data, packet->dataSize) == 0);
            aPacket_Destroy(&copy);
            aPacket_Reset(packet);
        }
    }
}

// Scratch buffers that live across runs: a frame of every length in fresh vectors would
// fill the sanitizer's quarantine with blocks of a thousand sizes (hundreds of MB of
// resident memory within a minute) for no gain in what is checked.
uint8_t* _scratch(std::vector<uint8_t>& buffer, size_t size)
{
    if (buffer.size() < size)
        buffer.resize(size);
    return buffer.data();
}

void _frame(aPacket* packet, const uint8_t* frame, size_t length)
{
    static std::vector<uint8_t> decodedBuffer, inPlaceBuffer, encodedBuffer, backBuffer;
    uint8_t* decoded = _scratch(decodedBuffer, length + 1);
    size_t n = cobs_decode(frame, length, decoded);
    _check(n <= length);
    uint8_t* inPlace = _scratch(inPlaceBuffer, length + 1);
    if (length)
        std::memcpy(inPlace, frame, length);
    if (length)
        _check(cobs_decode_inplace(inPlace, length) == n);
    if (length)
        _check(std::memcmp(inPlace, decoded, n) == 0);
    if (n >= 3 && decoded[1] + 3u == n && crc8_check(decoded, n - 1, decoded[n - 1])) {
        _assemble(packet, decoded, n - 1);
    }
    // Whatever decoded, encoding it again gives a block without zeros that decodes back.
    uint8_t* encoded = _scratch(encodedBuffer, cobs_max_encoded(n) + 1);
    size_t e = cobs_encode(decoded, n, encoded);
    for (size_t i = 0; i < e; i++)
        _check(encoded[i] != 0);
    uint8_t* back = _scratch(backBuffer, e + 1);
    _check(cobs_decode(encoded, e, back) == n);
    _check(std::memcmp(back, decoded, n) == 0);
}

struct _Line {
    const uint8_t* data;
    size_t size;
    size_t next;
};

aErr _lineGet(uint8_t* byte, void* ref)
{
    auto* line = static_cast<_Line*>(ref);
    if (line->next == line->size)
        return aErrNotReady;
    *byte = line->data[line->next++];
    return aErrNone;
}

// The same bytes as they would arrive on a packetized serial line.
void _throughCobsStream(aPacket* packet, const uint8_t* data, size_t size)
{
    _Line line = {data, size, 0};
    aStreamRef stream = nullptr;
    _check(aStream_CreateCobsEncoding(_lineGet, nullptr, nullptr, nullptr, &line, &stream) == aErrNone);
    aPacket_Reset(packet);
    for (;;) {
        uint8_t byte;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNotReady)
            break;
        if (err == aErrPacket)
            continue;
        _check(err == aErrNone);
        _assemble(packet, &byte, 1);
    }
    _check(line.next == size);
    aStream_Destroy(&stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    aPacket* packet = aPacket_Create();
    size_t start = 0;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != 0)
            continue;
        _frame(packet, data + start, i - start);
        start = i + 1;
    }
    aPacket_Reset(packet);
    _assemble(packet, data, size);  // the same bytes as a raw packet stream
    _throughCobsStream(packet, data, size);
    aPacket_Destroy(&packet);
    return 0;
}
