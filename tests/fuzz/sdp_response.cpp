// Arbitrary answers from an i.MX boot ROM to the SDP loader, through the
// serial and the HID transports' response parsing: whatever comes, the loader
// never reads outside what it collected and ends with one of its results; a
// transfer is reported complete only when the ROM's last answer said so.
//
// Input: one selector byte (bit 0: HID framing), then answers, each a length
// byte followed by that many bytes.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FuzzedRom : public SDPLoader_Interface {
public:
    FuzzedRom(bool hid, std::deque<Bytes> answers) : hid_(hid), answers_(std::move(answers)) {}
    bool init() override { return true; }
    ssize_t writeData(const Bytes& packet) override { return static_cast<ssize_t>(packet.size()); }
    ssize_t readData(Bytes& out, int) override
    {
        if (answers_.empty())
            return 0;
        // Exact-size copies so that the sanitizer sees any read past them.
        out = answers_.front();
        answers_.pop_front();
        last = out;
        return static_cast<ssize_t>(out.size());
    }
    bool getDataFromBuffer(const Bytes& bytes, size_t offset, uint32_t& value) override
    {
        return hid_ ? hidParser.getDataFromBuffer(bytes, offset, value)
                    : serialParser.getDataFromBuffer(bytes, offset, value);
    }
    Bytes last;

private:
    bool hid_;
    std::deque<Bytes> answers_;
    HID_SDPLoader hidParser{0x1FC9, 0x0130};
    Serial_SDPLoader serialParser{"/nonexistent"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool hid = data[0] & 1;
    std::deque<Bytes> answers;
    for (size_t at = 1; at < size;) {
        size_t length = data[at++];
        length = length < size - at ? length : size - at;
        answers.emplace_back(data + at, data + at + length);
        at += length;
    }
    // Direct parsing at every offset the interface allows, and one beyond.
    for (const Bytes& answer : answers) {
        for (size_t offset = 0; offset <= 16; ++offset) {
            uint32_t value = 0;
            HID_SDPLoader hidParser(0x1FC9, 0x0130);
            Serial_SDPLoader serialParser("/nonexistent");
            hidParser.getDataFromBuffer(answer, offset, value);
            serialParser.getDataFromBuffer(answer, offset, value);
        }
    }
    auto* rom = new FuzzedRom(hid, answers);
    SDPLoader loader;
    loader.setLoader(rom);
    Bytes image(3000, 0x5A);
    int result = loader.writeLoader(image, 0x20000000);
    if (result < 0 || result > 4)
        __builtin_trap();
    if (result == 0) {
        uint32_t word = 0;
        if (!rom->getDataFromBuffer(rom->last, 0, word) || word != 0x88888888)
            __builtin_trap();
    }
    uint64_t fingerprint = 0;
    result = loader.getFingerprint(fingerprint);
    if (result != 0 && result != 2 && result != 7)
        __builtin_trap();
    loader.startLoader(0x20000400);
    return 0;
}
