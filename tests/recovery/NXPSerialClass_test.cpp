// The ISP client's encoding, checks and exchanges, byte for byte, over a line in memory.
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MemoryLine.h"
#include "common/Log.h"
#include "recovery/NXPSerialClass.h"
#include "support/CodeBytes.h"
#include "support/LogCapture.h"
#include "support/PtyPair.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A client whose port is a MemoryLine holding the ROM's answers.
struct Client {
    explicit Client(const std::string& answers, bool echo = false) : line(answers)
    {
        isp.stream = line.Release();
        isp.baudRate = 115200;
        isp.echo = echo;
    }
    MemoryLine line;
    NXPSerialClass isp;
};

std::vector<std::string> _lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string _encode(const Bytes& data)
{
    char text[NXPSerialClass::UU_LINE_MAX];
    NXPSerialClass::uuencode(text, data.data(), data.size());
    return text;
}

std::string _sum(const Bytes& data, size_t from, size_t to)
{
    return std::to_string(NXPSerialClass::sum(data.data() + from, to - from));
}

}  // namespace

TEST(NXPSerialCoding, UuencodeGivesClassicLines)
{
    struct Case {
        Bytes data;
        std::string line;
    } cases[] = {
        {{'a', 'b', 'c'}, "#86)C"},    {{}, "`"},        {{0, 0, 0}, "#````"},
        {{0xFF, 0xFF, 0xFF}, "#____"}, {{'a'}, "!80``"}, {{'a', 'b'}, "\"86(`"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        char text[NXPSerialClass::UU_LINE_MAX];
        EXPECT_EQ(NXPSerialClass::uuencode(text, c.data.data(), c.data.size()), c.data.size());
        EXPECT_EQ(std::string(text), c.line);
        Bytes back(c.data.size() + 1, 0xEE);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), c.data.size(), c.line.c_str()), c.data.size());
        EXPECT_EQ(Bytes(back.begin(), back.end() - 1), c.data);
        EXPECT_EQ(back.back(), 0xEE) << "wrote past the capacity";
    }
}

TEST(NXPSerialCoding, EveryLineLengthRoundTripsAndAtMost63BytesGoOnALine)
{
    Bytes data = testsupport::Code(100);
    for (size_t n = 0; n <= 100; ++n) {
        SCOPED_TRACE(n);
        char text[NXPSerialClass::UU_LINE_MAX];
        size_t used = NXPSerialClass::uuencode(text, data.data(), n);
        size_t expected = n > 63 ? 63 : n;
        ASSERT_EQ(used, expected);
        EXPECT_EQ(strlen(text), 1 + 4 * ((expected + 2) / 3));
        Bytes back(100, 0);
        ASSERT_EQ(NXPSerialClass::uudecode(back.data(), back.size(), text), expected);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<long>(expected), back.begin()));
    }
}

TEST(NXPSerialCoding, UudecodeRefusesLinesThatDoNotFit)
{
    struct Case {
        const char* line;
        size_t capacity;
        size_t decoded;
    } cases[] = {
        {"#86)C", 3, 3},       {"#86)C\r\n", 3, 3},                // the line end is not data
        {"#86)C", 2, 0},                                           // announces more than the buffer holds
        {"M86)C", 100, 0},                                         // announces 45 bytes, carries 3
        {"#86", 3, 0},                                             // stops part way through its last group
        {"", 10, 0},           {"\r\n", 10, 0},     {"`", 10, 0},  // an empty line decodes to nothing
        {"#86)C extra", 3, 3},  // characters beyond the announced bytes are not stored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        uint8_t buffer[64];
        memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(NXPSerialClass::uudecode(buffer, c.capacity, c.line), c.decoded);
        for (size_t i = c.decoded; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " touched";
    }
    EXPECT_EQ(NXPSerialClass::uudecode(nullptr, 10, nullptr), 0u);
}

TEST(NXPSerialCoding, UucharMapsZeroToBackquote)
{
    EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(1), '!');
    EXPECT_EQ(NXPSerialClass::uuchar(63), '_');
    EXPECT_EQ(NXPSerialClass::uuchar(64), '`');  // only six bits count
    Bytes bytes = {1, 2, 250};
    EXPECT_EQ(NXPSerialClass::sum(bytes.data(), bytes.size()), 253u);
}

TEST(NXPSerialTables, CopyLengthSectorsErrorTextsAndWaits)
{
    std::pair<uint32_t, uint32_t> lengths[] = {{1, 256},     {256, 256},   {257, 512},   {300, 512},
                                               {1024, 1024}, {1025, 4096}, {4096, 4096}, {5000, 5000}};
    LogCapture log(DEBUG_NXPSerial);
    for (auto [n, expected] : lengths)
        EXPECT_EQ(NXPSerialClass::CopyLength(n), expected) << n;
    EXPECT_TRUE(log.Contains("Copy length is too large. 5000 > 4096.\n"));

    std::pair<uint32_t, uint32_t> sectors[] = {{0, 0},        {0x0FFF, 0},      {0x1000, 1},     {0xFFFF, 15},
                                               {0x10000, 16}, {0x17FFF, 16},    {0x18000, 17},   {0x7FFFF, 29},
                                               {0x80000, 30}, {0x10001000, 30}, {0xFFFFFFFF, 30}};
    for (auto [address, sector] : sectors)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(address), sector) << address;

    std::pair<const char*, const char*> texts[] = {
        {"8", "SECTOR_NOT_BLANK"},
        {"42", "Unknown error"},
        {"0\r\n", "CMD_SUCCESS"},
        {"0xD", "ADDR_ERROR"},
        {"-1", "Unknown error"},
        {"20", "Unknown error"},
        {"19", "CODE_READ_PROTECTION_ENABLED"},
        {"abc", "Unknown error"},
        {"", "Unknown error"},
    };
    for (auto [line, text] : texts)
        EXPECT_STREQ(NXPSerialClass::GetErrorText(line), text) << line;

    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 115200), 2u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 9600), 16u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(0, 2400), 8u);
}

TEST(NXPSerialReplies, ReturnCodeWithEchoOnAndOff)
{
    struct Case {
        const char* line;
        bool echo;
        int code;
    } cases[] = {
        {"0\r\n", true, 0},
        {"1\r\n", true, 1},
        {"10\r\n", true, 10},         // a two-digit code ending in 0 is no
                                      // success
        {"U 23130\r0\r\n", true, 0},  // the rest of the echo before the code
        {"0\r\n", false, 0},
        {"16\r\n", false, 16},
        {"0", false, -1},
        {"", true, -1},
        {"OK\r\n", false, -1},
        {"\r\n", true, -1},
        {"x0\r\n", false, -1},
        {"99999999999\r\n", true, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NXPSerialClass::ReturnCode(c.line, c.echo), c.code) << c.line;

    uint32_t value = 0;
    EXPECT_TRUE(NXPSerialClass::ParseChecksum("115394\r\n", value));
    EXPECT_EQ(value, 115394u);
    EXPECT_TRUE(NXPSerialClass::ParseChecksum("010\r\n", value));
    EXPECT_EQ(value, 10u) << "checksums are decimal";
    for (const char* bad : {"abc\r\n", "12a\r\n", "12", "\r\n", "-5\r\n", "0x10\r\n", "99999999999\r\n"})
        EXPECT_FALSE(NXPSerialClass::ParseChecksum(bad, value)) << bad;
}

TEST(NXPSerialCommands, ReturnCodeDecidesWithEchoOnAndOff)
{
    struct Case {
        bool echo;
        std::string answer;
        aErr result;
    } cases[] = {
        {true, "U 23130\r\n0\r\n", aErrNone},
        {true, "U 23130\r\n1\r\n", aErrParam},
        {true, "U 23130\r\n10\r\n", aErrParam},
        {true, "", aErrParam},
        {false, "0\r\n", aErrNone},
        {false, "16\r\n", aErrParam},
        {false, "\n0\r\n", aErrNone},  // the LF left from an echo is skipped
        {false, "garbage\r\n", aErrParam},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        Client client(c.answer, c.echo);
        EXPECT_EQ(client.isp.Unlock(), c.result);
        EXPECT_EQ(client.line.Written(), "U 23130\r\n");
    }
}

TEST(NXPSerialCommands, CommandTextsAndRefusalsBeforeSending)
{
    struct Case {
        std::function<aErr(NXPSerialClass&)> call;
        std::string sent;  // empty: refused before anything is sent
        aErr result;
    } cases[] = {
        {[](NXPSerialClass& i) { return i.Prepare(0, 29); }, "P 0 29\r\n", aErrNone},
        {[](NXPSerialClass& i) { return i.Prepare(3, 2); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.Erase(16, 16); }, "E 16 16\r\n", aErrNone},
        {[](NXPSerialClass& i) { return i.Erase(5, 1); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.CopyToFlash(0x10000, 0x10001000, 4096); }, "C 65536 268439552 4096\r\n",
         aErrNone},
        {[](NXPSerialClass& i) { return i.CopyToFlash(0x10080, 0x10001000, 256); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.CopyToFlash(0, 0x10001000, 300); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.CopyToFlash(0, 0x10001000, 5000); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.SetBaudRate(57600); }, "B 57600 1\r\n", aErrNone},
        {[](NXPSerialClass& i) { return i.ExecuteFrom(0); }, "G 0 T\r\n", aErrNone},
        {[](NXPSerialClass& i) { return i.Write(0x10001000, 0, Bytes(4).data()); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.Write(0x10001000, 6, Bytes(8).data()); }, "", aErrParam},
        {[](NXPSerialClass& i) { return i.Write(0x10001000, 8, nullptr); }, "", aErrParam},
        {[](NXPSerialClass& i) {
             Bytes b(8);
             return i.Read(0, 6, b.data());
         },
         "", aErrParam},
        {[](NXPSerialClass& i) {
             Bytes b(8);
             return i.Read(0, 0, b.data());
         },
         "", aErrParam},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        Client client("0\r\n");
        EXPECT_EQ(cases[k].call(client.isp), cases[k].result);
        EXPECT_EQ(client.line.Written(), cases[k].sent);
    }
    NXPSerialClass unconnected;
    EXPECT_NE(unconnected.Unlock(), aErrNone);
    EXPECT_NE(unconnected.Sync(), aErrNone);
}

TEST(NXPSerialCommands, SetEchoChangesTheClientOnlyWhenTheRomAgrees)
{
    Client agreed("A 0\r\n0\r\n", true);
    EXPECT_EQ(agreed.isp.SetEcho(false), aErrNone);
    EXPECT_FALSE(agreed.isp.echo);
    Client refused("A 0\r\n12\r\n", true);
    EXPECT_EQ(refused.isp.SetEcho(false), aErrParam);
    EXPECT_TRUE(refused.isp.echo);
}

TEST(NXPSerialWrite, LinesAndChecksumGroupsFor100And1000Bytes)
{
    struct Case {
        size_t count;
        std::vector<size_t> lineBytes;  // per data line, checksums marked by 0
    } cases[] = {
        {100, {45, 45, 10, 0}},
        {1000, {45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 0, 45, 45, 10, 0}},
        {4, {4, 0}},
        {900, {45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 45, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        Bytes data = testsupport::Code(c.count);
        Client client("0\r\nOK\r\nOK\r\n");
        ASSERT_EQ(client.isp.Write(0x10001000, static_cast<uint32_t>(c.count), data.data()), aErrNone);
        auto lines = _lines(client.line.Written());
        ASSERT_EQ(lines.size(), c.lineBytes.size() + 1);
        EXPECT_EQ(lines[0], "W 268439552 " + std::to_string(c.count));
        size_t at = 0, groupStart = 0;
        for (size_t i = 0; i < c.lineBytes.size(); ++i) {
            const std::string& line = lines[i + 1];
            if (c.lineBytes[i] == 0) {
                EXPECT_EQ(line, _sum(data, groupStart, at)) << "checksum after line " << i;
                groupStart = at;
                continue;
            }
            Bytes decoded(63);
            ASSERT_EQ(NXPSerialClass::uudecode(decoded.data(), decoded.size(), line.c_str()), c.lineBytes[i]);
            EXPECT_TRUE(std::equal(decoded.begin(), decoded.begin() + static_cast<long>(c.lineBytes[i]),
                                   data.begin() + static_cast<long>(at)));
            at += c.lineBytes[i];
        }
        EXPECT_EQ(at, c.count);
    }
}

TEST(NXPSerialWrite, ResendBudgetCoversTheWholeCommand)
{
    struct Case {
        size_t count;
        std::string answers;
        aErr result;
        size_t dataLines;  // lines sent, resent groups included
    } cases[] = {
        {100, "OK\r\n", aErrNone, 3},
        {100, "RESEND\r\nOK\r\n", aErrNone, 6},
        {100, "RESEND\r\nRESEND\r\nOK\r\n", aErrNone, 9},
        {100, "RESEND\r\nRESEND\r\nRESEND\r\n", aErrTimeout, 9},
        // An accepted group does not restore the budget.
        {1000, "RESEND\r\nOK\r\nRESEND\r\nRESEND\r\n", aErrTimeout, 20 + 20 + 3 + 3},
        {1000, "OK\r\nRESEND\r\nOK\r\n", aErrNone, 20 + 3 + 3},
        {100, "NOPE\r\n", aErrIO, 3},
        {100, "OK", aErrTimeout, 3},  // cut off: no answer
        {100, "", aErrTimeout, 3},    // silence
        {100, "RESEND\r\n\r\n", aErrIO, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        Bytes data = testsupport::Code(c.count);
        Client client("0\r\n" + c.answers);
        EXPECT_EQ(client.isp.Write(0x10001000, static_cast<uint32_t>(c.count), data.data()), c.result);
        size_t dataLines = 0;
        for (const std::string& line : _lines(client.line.Written()))
            if (!line.empty() && (line[0] == 'M' || line[0] == '*'))
                ++dataLines;
        EXPECT_EQ(dataLines, c.dataLines);
    }
}

TEST(NXPSerialWrite, EchoOnReadsTheEchoOfEveryLine)
{
    Bytes data = testsupport::Code(100);
    // The ROM echoes the command, each line and the checksum, then answers.
    std::string echoed = "W 268439552 100\r\n0\r\n";
    std::string answers;
    {
        Client dry("0\r\nOK\r\n");
        ASSERT_EQ(dry.isp.Write(0x10001000, 100, data.data()), aErrNone);
        auto lines = _lines(dry.line.Written());
        for (size_t i = 1; i < lines.size(); ++i)
            echoed += lines[i] + "\r\n";
        echoed += "OK\r\n";
    }
    Client client(echoed, true);
    EXPECT_EQ(client.isp.Write(0x10001000, 100, data.data()), aErrNone);
    EXPECT_EQ(client.line.Unread(), 0u);
}

TEST(NXPSerialRead, DataChecksumsAndReplies)
{
    Bytes data = testsupport::Code(1000);
    std::string group1, group2;
    for (size_t at = 0; at < 900; at += 45)
        group1 += _encode(Bytes(data.begin() + at, data.begin() + at + 45)) + "\r\n";
    for (size_t at = 900; at < 1000; at += 45)
        group2 += _encode(Bytes(data.begin() + at, data.begin() + std::min<size_t>(at + 45, 1000))) + "\r\n";
    std::string sum1 = _sum(data, 0, 900) + "\r\n", sum2 = _sum(data, 900, 1000) + "\r\n";
    struct Case {
        bool echo;
        std::string answers;
        aErr result;
        std::string replies;  // what the client sent after the command
    } cases[] = {
        {false, "0\r\n" + group1 + sum1 + group2 + sum2, aErrNone, "OK\r\nOK\r\n"},
        {true, "R 0 1000\r\n0\r\n" + group1 + sum1 + "OK\r\n" + group2 + sum2 + "OK\r\n", aErrNone, "OK\r\nOK\r\n"},
        {false, "0\r\n" + group1 + "1\r\n" + group1 + sum1 + group2 + sum2, aErrNone, "RESEND\r\nOK\r\nOK\r\n"},
        {false, "0\r\n" + group1 + "1\r\n" + group1 + "2\r\n" + group1 + sum1 + group2 + "3\r\n", aErrTimeout,
         "RESEND\r\nRESEND\r\nOK\r\n"},
        {true, "R 0 1000\r\n0\r\n" + group1 + "1\r\nRESEND\r\n" + group1 + sum1 + "OK\r\n" + group2 + sum2 + "OK\r\n",
         aErrNone, "RESEND\r\nOK\r\nOK\r\n"},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        SCOPED_TRACE(k);
        Client client(cases[k].answers, cases[k].echo);
        Bytes buffer(1000, 0);
        EXPECT_EQ(client.isp.Read(0, 1000, buffer.data()), cases[k].result);
        if (cases[k].result == aErrNone) {
            EXPECT_EQ(buffer, data);
        }
        std::string written = client.line.Written();
        ASSERT_EQ(written.rfind("R 0 1000\r\n", 0), 0u);
        EXPECT_EQ(written.substr(10), cases[k].replies);
    }
}

TEST(NXPSerialRead, BadRepliesEndWithAnErrorInsideTheBuffer)
{
    Bytes data = testsupport::Code(8);
    std::string good = _encode(data) + "\r\n";
    std::string sum = _sum(data, 0, 8) + "\r\n";
    struct Case {
        const char* name;
        std::string answers;
        aErr result;
    } cases[] = {
        {"garbage without line end", "0\r\n" + std::string(500, 'x'), aErrOverrun},
        {"line longer than the buffer", "0\r\nM" + std::string(200, '!') + "\r\n", aErrOverrun},
        {"line announcing more than it carries", "0\r\n(86)C\r\n", aErrIO},
        {"line bringing more than asked", "0\r\n" + _encode(testsupport::Code(45)) + "\r\n", aErrIO},
        {"line bringing nothing", "0\r\n`\r\n", aErrIO},
        {"checksum not a number, three times", "0\r\n" + good + "abc\r\n" + good + "1x\r\n" + good + "-\r\n",
         aErrTimeout},
        {"checksum line too long", "0\r\n" + good + std::string(40, '7') + "\r\n", aErrOverrun},
        {"silence after the return code", "0\r\n", aErrTimeout},
        {"silence before the checksum", "0\r\n" + good, aErrTimeout},
        {"refused", "14\r\n", aErrParam},
        {"binary noise", std::string("\0\xff\r\x80\n\n\r", 7), aErrParam},
        {"good", "0\r\n" + good + sum, aErrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Client client(c.answers);
        Bytes buffer(8 + 64, 0xEE);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.isp.Read(0, 8, buffer.data()), c.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        for (size_t i = 8; i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " past the buffer";
        if (c.result == aErrNone) {
            EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
        }
    }
}

TEST(NXPSerialIdentify, NumbersAfterTheReturnCode)
{
    Client id("0\r\n1\r\n2\r\n0x10\r\n4294967295\r\n");
    ASSERT_EQ(id.isp.GetDeviceID(), aErrNone);
    EXPECT_EQ(id.line.Written(), "N\r\n");
    EXPECT_EQ(std::vector<uint32_t>(id.isp.deviceID, id.isp.deviceID + 4),
              (std::vector<uint32_t>{1, 2, 16, 0xFFFFFFFF}));

    Client part("0\r\n637615927\r\n");
    uint64_t number = 0;
    ASSERT_EQ(part.isp.GetPartNumber(number), aErrNone);
    EXPECT_EQ(number, 637615927u);

    Client version("K\r\n0\r\n4\r\n1\r\n", true);
    uint32_t major = 0, minor = 0;
    ASSERT_EQ(version.isp.GetBootLoaderVersion(major, minor), aErrNone);
    EXPECT_EQ(major, 4u);
    EXPECT_EQ(minor, 1u);

    // Nothing is made up from silence, refusals or text that is no number.
    struct Case {
        std::string answers;
        aErr result;
    } bad[] = {
        {"", aErrParam},
        {"1\r\n", aErrParam},
        {"0\r\n1\r\n2\r\n", aErrTimeout},
        {"0\r\n1\r\nabc\r\n3\r\n4\r\n", aErrParse},
        {"0\r\n1\r\n2\r\n3\r\n4294967296\r\n", aErrParse},
        {"0\r\n1\r\n2\r\n3\r\n" + std::string(100, '9') + "\r\n", aErrOverrun},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(c.answers);
        Client client(c.answers);
        client.isp.deviceID[0] = 77;
        EXPECT_EQ(client.isp.GetDeviceID(), c.result);
        EXPECT_EQ(client.isp.deviceID[0], 77u) << "words filled from a failed answer";
    }
}

TEST(NXPSerialSync, HandshakeBytesAndFailures)
{
    struct Case {
        std::string answers;
        aErr result;
    } cases[] = {
        {"Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n", aErrNone},
        {"", aErrTimeout},
        {"Synchronized\r\nSynchronized\r\n1\r\n14746\r\nOK\r\n", aErrIO},
        {"Synchronized\r\nSynchronized\r\nOK\r\n14746\r\n", aErrTimeout},
        {"Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nNO\r\n", aErrIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        Client client(c.answers);
        EXPECT_EQ(client.isp.Sync(), c.result);
        std::string sent = c.answers.empty() ? "?" : "?Synchronized\r\n14746\r\n";
        EXPECT_EQ(client.line.Written(), sent);
    }
}

TEST(NXPSerialConnect, RateTableAndFallback)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::pair<uint32_t, uint32_t> rates[] = {
        {100000, 115200}, {300000, 9600}, {0, 2400}, {230400, 230400}, {9601, 19200}};
    for (auto [requested, chosen] : rates) {
        NXPSerialClass isp;
        ASSERT_EQ(isp.Connect(pty.slavePath().c_str(), requested), aErrNone) << requested;
        EXPECT_EQ(isp.baudRate, chosen) << requested;
        EXPECT_EQ(std::string(isp.portName), pty.slavePath());
        EXPECT_NE(isp.stream, nullptr);
        EXPECT_EQ(isp.Disconnect(), aErrNone);
        EXPECT_EQ(isp.stream, nullptr);
    }
    NXPSerialClass missing;
    EXPECT_EQ(missing.Connect("/dev/no-such-port", 115200), aErrNotFound);
    EXPECT_EQ(missing.stream, nullptr);
}

TEST(NXPSerialLog, EveryLineUnderItsPackageBit)
{
    Bytes data = testsupport::Code(100);
    auto run = [&](uint32_t packages) {
        LogCapture log(packages);
        Client client("0\r\nRESEND\r\nOK\r\n");
        EXPECT_EQ(client.isp.Write(0x10001000, 100, data.data()), aErrNone);
        return log.Text();
    };
    std::string others = run(~uint32_t(DEBUG_NXPSerial | DEBUG_NXPSerial_E | DEBUG_NXPSerial_SR));
    EXPECT_EQ(others, "") << "logged outside the serial packages";
    std::string progress = run(DEBUG_NXPSerial);
    EXPECT_NE(progress.find("Write() Checksum: "), std::string::npos) << progress;
    EXPECT_NE(progress.find("Write() valid transfer of 100 of 100 (100%) bytes\n"), std::string::npos) << progress;
    EXPECT_EQ(progress.find("Send ["), std::string::npos) << "dumps belong to their own bit";
    std::string dumps = run(DEBUG_NXPSerial_SR);
    EXPECT_NE(dumps.find("Send [W 268439552 100\\r\\n]"), std::string::npos) << dumps;
    EXPECT_NE(dumps.find("Recv [RESEND\\r\\n]"), std::string::npos) << dumps;
    EXPECT_EQ(dumps.find("Checksum"), std::string::npos);
    std::string details = run(DEBUG_NXPSerial_E);
    EXPECT_NE(details.find("Write() waited for checksum"), std::string::npos) << details;
}
