// SDP loader without a ROM: packet bytes, how an image is cut into data
// packets, which responses yield a word, and the results for a transport that
// plays a scripted ROM.
#include <gtest/gtest.h>

#include <deque>

#include "common/Log.h"
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "support/CodeBytes.h"
#include "support/LogCapture.h"

using Bytes = std::vector<uint8_t>;

namespace {

// A transport that records every packet and plays back scripted answers, one
// per readData call that waits (a zero time-out read gets `unexpected`).
class ScriptedTransport : public SDPLoader_Interface {
public:
    ScriptedTransport(std::vector<Bytes>* packets, std::deque<Bytes> answers)
        : packets_(packets), answers_(std::move(answers))
    {
    }
    bool init() override { return opens; }
    ssize_t writeData(const Bytes& packet) override
    {
        packets_->push_back(packet);
        return failWriteAt == packets_->size() ? -1 : static_cast<ssize_t>(packet.size());
    }
    ssize_t readData(Bytes& out, int timeoutMs) override
    {
        if (timeoutMs == 0) {
            if (unexpectedAt && packets_->size() == unexpectedAt)
                out.push_back(0xEE);
            return static_cast<ssize_t>(out.size());
        }
        if (answers_.empty())
            return 0;
        out = answers_.front();
        answers_.pop_front();
        return static_cast<ssize_t>(out.size());
    }
    bool getDataFromBuffer(const Bytes& bytes, size_t offset, uint32_t& value) override
    {
        return serial.getDataFromBuffer(bytes, offset, value);
    }

    bool opens = true;
    size_t failWriteAt = 0;   // the n-th packet (from 1) fails
    size_t unexpectedAt = 0;  // a stray byte waits after n packets
    Serial_SDPLoader serial{"/nonexistent"};

private:
    std::vector<Bytes>* packets_;
    std::deque<Bytes> answers_;
};

Bytes _answer(uint32_t word)
{
    return {0x56, 0x78, 0x78, 0x56, uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

}  // namespace

struct PacketCase {
    const char* name;
    std::function<void(Bytes&)> build;
    Bytes expected;
};

class SDPPacketTest : public ::testing::TestWithParam<PacketCase> {};

TEST_P(SDPPacketTest, IsByteExact)
{
    Bytes packet{0xAA, 0xBB};  // whatever was there before is cleared
    GetParam().build(packet);
    EXPECT_EQ(packet, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SDPPacketTest,
    ::testing::Values(PacketCase{"WriteFile",
                                 [](Bytes& p) { SDPLoader::_createWriteFilePacket(p, 0x20000000, 5000); },
                                 {1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x13, 0x88, 0, 0, 0, 0, 0}},
                      PacketCase{"ReadRegister",
                                 [](Bytes& p) { SDPLoader::_create4ByteReadRegisterPacket(p, 0x401F4410); },
                                 {1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0}},
                      PacketCase{"Status",
                                 [](Bytes& p) { SDPLoader::_createStatusPacket(p); },
                                 {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                      PacketCase{"Jump",
                                 [](Bytes& p) { SDPLoader::_createJumpPacket(p, 0x20000400); },
                                 {1, 0x0B, 0x0B, 0x20, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                      PacketCase{"WriteFileLargest",
                                 [](Bytes& p) { SDPLoader::_createWriteFilePacket(p, 0xFFFFFFFF, 0xFFFFFFFF); },
                                 {1, 4, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct SplitCase {
    size_t imageSize;
    std::vector<size_t> dataPackets;  // sizes with the report id
};

class SDPSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SDPSplitTest, ImageGoesOutInDataPacketsOfAtMost1024Bytes)
{
    std::vector<Bytes> packets;
    auto* transport = new ScriptedTransport(&packets, {_answer(0xF0F0F0F0), _answer(0x88888888)});
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(transport));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    Bytes image = testsupport::Code(GetParam().imageSize);
    EXPECT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);

    // Status, write file with the length, then the data packets.
    ASSERT_EQ(packets.size(), 2 + GetParam().dataPackets.size());
    EXPECT_EQ(packets[0][1], 0x05);
    Bytes expected;
    SDPLoader::_createWriteFilePacket(expected, 0x20000000, static_cast<uint32_t>(image.size()));
    EXPECT_EQ(packets[1], expected);
    Bytes joined;
    for (size_t i = 0; i < GetParam().dataPackets.size(); ++i) {
        const Bytes& data = packets[2 + i];
        EXPECT_EQ(data.size(), GetParam().dataPackets[i]) << "packet " << i;
        EXPECT_EQ(data[0], 2) << "packet " << i;
        joined.insert(joined.end(), data.begin() + 1, data.end());
    }
    EXPECT_EQ(joined, image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SDPSplitTest,
                         ::testing::Values(SplitCase{2500, {1025, 1025, 453}}, SplitCase{1024, {1025}},
                                           SplitCase{1025, {1025, 2}}, SplitCase{1, {2}}, SplitCase{0, {}},
                                           SplitCase{4096, {1025, 1025, 1025, 1025}}));

struct WordCase {
    const char* name;
    bool hid;
    size_t collected;
    size_t offset;
    bool found;
};

class SDPResponseWordTest : public ::testing::TestWithParam<WordCase> {};

TEST_P(SDPResponseWordTest, WordOnlyFromACompleteResponse)
{
    const WordCase& c = GetParam();
    Bytes bytes(c.collected);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i);
    HID_SDPLoader hid(0x1FC9, 0x0130);
    Serial_SDPLoader serial("/nonexistent");
    SDPLoader_Interface& transport = c.hid ? static_cast<SDPLoader_Interface&>(hid) : serial;
    uint32_t value = 0x80000000;  // OR-ed in, not replaced
    EXPECT_EQ(transport.getDataFromBuffer(bytes, c.offset, value), c.found);
    if (!c.found) {
        EXPECT_EQ(value, 0x80000000u);
        return;
    }
    size_t at = c.offset + (c.hid ? 6 : 4);
    uint32_t word = uint32_t(at) | uint32_t(at + 1) << 8 | uint32_t(at + 2) << 16 | uint32_t(at + 3) << 24;
    EXPECT_EQ(value, word | 0x80000000u);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SDPResponseWordTest,
    ::testing::Values(WordCase{"Hid70", true, 70, 0, true}, WordCase{"Hid69", true, 69, 0, false},
                      WordCase{"Hid71", true, 71, 0, false}, WordCase{"Hid70Offset15", true, 70, 15, true},
                      WordCase{"Hid70Offset16", true, 70, 16, false}, WordCase{"HidEmpty", true, 0, 0, false},
                      WordCase{"Serial8", false, 8, 0, true}, WordCase{"Serial7", false, 7, 0, false},
                      WordCase{"Serial9", false, 9, 0, true}, WordCase{"SerialEmpty", false, 0, 0, false},
                      // The word must lie inside what came: 8 bytes hold none at offset 4.
                      WordCase{"Serial8Offset4", false, 8, 4, false}, WordCase{"Serial12Offset4", false, 12, 4, true},
                      WordCase{"Serial23Offset15", false, 23, 15, true},
                      WordCase{"Serial22Offset15", false, 22, 15, false},
                      WordCase{"Serial40Offset16", false, 40, 16, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SDPLoaderResults, TransportOwnershipAndOpening)
{
    SDPLoader empty;
    EXPECT_EQ(empty.init(), SDPLoader::SDP_NO_TRANSPORT);
    EXPECT_FALSE(empty.setLoader(nullptr));
    EXPECT_EQ(empty.writeLoader(testsupport::Code(10), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    uint64_t value = 0;
    EXPECT_EQ(empty.getFingerprint(value), SDPLoader::SDP_NO_ANSWER);
    empty.startLoader(0x20000400);  // nothing to send it through; must not crash

    std::vector<Bytes> packets;
    SDPLoader loader;
    auto* failing = new ScriptedTransport(&packets, {});
    failing->opens = false;
    ASSERT_TRUE(loader.setLoader(failing));
    auto* second = new ScriptedTransport(&packets, {});
    EXPECT_FALSE(loader.setLoader(second)) << "a second transport is refused";
    delete second;  // refused: still the caller's
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);

    // Real transports that cannot open: a missing port, a file that is no terminal.
    for (const char* path : {"/nonexistent/tty", "/dev/null"}) {
        SDPLoader serial;
        ASSERT_TRUE(serial.setLoader(new Serial_SDPLoader(path)));
        EXPECT_EQ(serial.init(), SDPLoader::SDP_OPEN_FAILED) << path;
    }
}

struct ScriptCase {
    const char* name;
    std::deque<Bytes> answers;
    size_t failWriteAt;
    size_t unexpectedAt;
    int result;
    size_t packetsSent;
};

class SDPWriteLoaderTest : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(SDPWriteLoaderTest, ResultAndWhereItStopped)
{
    const ScriptCase& c = GetParam();
    LogCapture log(DEBUG_iMXSerial);
    std::vector<Bytes> packets;
    auto* transport = new ScriptedTransport(&packets, c.answers);
    transport->failWriteAt = c.failWriteAt;
    transport->unexpectedAt = c.unexpectedAt;
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(transport));
    EXPECT_EQ(loader.writeLoader(testsupport::Code(2500), 0x20000000), c.result);
    EXPECT_EQ(packets.size(), c.packetsSent);
    EXPECT_EQ(log.Contains("Error: No ack from iMX device\n"), c.result == SDPLoader::SDP_NO_ANSWER);
    EXPECT_EQ(log.Contains("Loader Transfer Successful\n"), c.result == SDPLoader::SDP_OK);
    EXPECT_EQ(log.Contains("Loader Transfer Unsuccessful\n"), c.result == SDPLoader::SDP_NOT_COMPLETE);
    EXPECT_EQ(log.Contains("Error while transfering loader. Aborting\n"),
              c.result == SDPLoader::SDP_ABORTED && c.failWriteAt != 2);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, SDPWriteLoaderTest,
    ::testing::Values(
        ScriptCase{"Completes", {_answer(0xF0F0F0F0), _answer(0x88888888)}, 0, 0, SDPLoader::SDP_OK, 5},
        // Five status packets, no answer to any.
        ScriptCase{"NoAnswer", {}, 0, 0, SDPLoader::SDP_NO_ANSWER, 5},
        // A short answer counts as none; the third attempt is heard.
        ScriptCase{"AliveOnThirdAttempt",
                   {{1, 2, 3}, Bytes(7, 0), _answer(1), _answer(0x88888888)},
                   0,
                   0,
                   SDPLoader::SDP_OK,
                   7},
        ScriptCase{
            "WrongCompletionWord", {_answer(0xF0F0F0F0), _answer(0xF0F0F0F0)}, 0, 0, SDPLoader::SDP_NOT_COMPLETE, 5},
        ScriptCase{"NoCompletion", {_answer(0xF0F0F0F0)}, 0, 0, SDPLoader::SDP_NOT_COMPLETE, 5},
        // Something from the ROM before the second chunk: nothing more is sent.
        ScriptCase{"StrayBytesAbort", {_answer(0xF0F0F0F0)}, 0, 3, SDPLoader::SDP_ABORTED, 3},
        // A packet that does not go out whole ends the transfer there.
        ScriptCase{"WriteFilePacketFails", {_answer(0xF0F0F0F0)}, 2, 0, SDPLoader::SDP_ABORTED, 2},
        ScriptCase{"DataPacketFails", {_answer(0xF0F0F0F0)}, 4, 0, SDPLoader::SDP_ABORTED, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SDPLoaderResults, FingerprintCombinesBothRegisters)
{
    std::vector<Bytes> packets;
    auto* transport = new ScriptedTransport(&packets, {_answer(0xF0F0F0F0), _answer(0x11223344), _answer(0xAABBCCDD)});
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(transport));
    uint64_t value = 0;
    EXPECT_EQ(loader.getFingerprint(value), SDPLoader::SDP_OK);
    EXPECT_EQ(value, 0xAABBCCDD11223344ull);
    ASSERT_EQ(packets.size(), 3u);
    Bytes low, high;
    SDPLoader::_create4ByteReadRegisterPacket(low, 0x401F4410);
    SDPLoader::_create4ByteReadRegisterPacket(high, 0x401F4420);
    EXPECT_EQ(packets[1], low);
    EXPECT_EQ(packets[2], high);

    // The second register unanswered: no word, and the value is left alone.
    packets.clear();
    SDPLoader missing;
    ASSERT_TRUE(missing.setLoader(new ScriptedTransport(&packets, {_answer(0xF0F0F0F0), _answer(0x11223344)})));
    value = 0;
    EXPECT_EQ(missing.getFingerprint(value), SDPLoader::SDP_NO_RESPONSE_WORD);
    EXPECT_EQ(value, 0u);
}
