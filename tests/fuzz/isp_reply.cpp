// Arbitrary bytes as what the LPC boot ROM answers: every client operation ends, never
// writes past the caller's buffer, and only reports success for a well-formed answer.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/NXPSerialClass.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

// The ROM's side of the line: the fuzzer's bytes, then nothing.
struct Line {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

aErr _get(uint8_t* byte, void* ref)
{
    auto* line = static_cast<Line*>(ref);
    if (line->at >= line->size)
        return aErrNotReady;
    *byte = line->data[line->at++];
    return aErrNone;
}

aErr _write(const uint8_t*, size_t, void*)
{
    return aErrNone;
}
aErr _drop(void*)
{
    return aErrNone;
}
aErr _wait(void* ref, uint32_t)
{
    auto* line = static_cast<Line*>(ref);
    return line->at < line->size ? aErrNone : aErrTimeout;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Line line{data + 1, size - 1};
    NXPSerialClass isp;
    isp.stream = aStream_CreateWaiting(_get, nullptr, _write, _drop, _wait, &line);
    isp.baudRate = 115200;
    isp.echo = data[0] & 0x80;
    uint32_t count = 4 * (1 + (data[0] & 0x0F) * 37);  // 4 .. 2224 bytes: one to three groups
    std::vector<uint8_t> buffer(count + 32, 0xA5);
    switch ((data[0] >> 4) & 0x07) {
    case 0: {
        aErr err = isp.Read(0, count, buffer.data());
        for (size_t i = count; i < buffer.size(); ++i)
            _check(buffer[i] == 0xA5);
        if (err == aErrNone)
            _check(line.at > count);  // the bytes came from somewhere
        break;
    }
    case 1: {
        aErr err = isp.Write(NXPSerialClass::WRITE_ADDRESS, count, buffer.data());
        if (err == aErrNone)
            _check(memmem(data + 1, size - 1, "OK\r\n", 4) != nullptr);
        break;
    }
    case 2:
        isp.GetDeviceID();
        break;
    case 3: {
        uint32_t a = 0, b = 0;
        isp.GetBootLoaderVersion(a, b);
        break;
    }
    case 4: {
        uint64_t part = 0;
        isp.GetPartNumber(part);
        break;
    }
    case 5:
        isp.Sync();
        break;
    case 6:
        isp.Unlock();
        break;
    default: {
        std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        uint32_t value = 0;
        NXPSerialClass::ReturnCode(text.c_str(), isp.echo);
        NXPSerialClass::ParseChecksum(text.c_str(), value);
        _check(NXPSerialClass::GetErrorText(text.c_str()) != nullptr);
    }
    }
    isp.Disconnect();
    return 0;
}
