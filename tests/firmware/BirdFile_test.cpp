// Loading and indexing BIRD images: header test, inflating, block parsing and the
// information block.
#include "BirdFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> out;
    for (int v : values)
        out.push_back(uint8_t(v));
    return out;
}

void PutBE32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

// A block stream with any declared count, the given encoded blocks, a checksum word and
// optional trailing bytes.
std::vector<uint8_t> Stream(uint32_t declared, const std::vector<std::vector<uint8_t>>& blocks,
                            const std::vector<uint8_t>& trailing = {}, bool withChecksum = true)
{
    std::vector<uint8_t> stream;
    PutBE32(stream, declared);
    for (const auto& block : blocks)
        stream.insert(stream.end(), block.begin(), block.end());
    if (withChecksum)
        PutBE32(stream, 0xC0FFEE42);
    stream.insert(stream.end(), trailing.begin(), trailing.end());
    return stream;
}

}  // namespace

TEST(BirdFileLoad, ThreeBlockImageIsIndexedInFileOrder)
{
    std::vector<uint8_t> firmware = Code(300);
    BirdWriter writer;
    writer.AddLoader(0x20000000, Code(40, 9))
        .AddFirmware(0x60001000, firmware)
        .AddInfo(1234, "2.10.3", 0x0ABC1234, "HUB8");
    Loaded loaded;
    LoadInto(loaded, writer.FileBytes());

    ASSERT_TRUE(loaded.ok) << loaded.log;
    BirdFile& file = loaded.file;
    EXPECT_EQ(file.blockCount, 3u);
    EXPECT_EQ(file.signature, 0x62697264u);
    EXPECT_EQ(file.version, 0x0101u);
    ASSERT_EQ(file.blocks.size(), 3u);
    EXPECT_EQ(file.blocks[0].type, BirdFile::BIRD_BLOCK_LOADER);
    EXPECT_EQ(file.blocks[0].address, 0x20000000u);
    EXPECT_EQ(file.blocks[2].type, BirdFile::BIRD_BLOCK_INFO);
    EXPECT_EQ(file.blocks[2].address, 0u);

    std::vector<BirdBlock> found = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, 0x60001000u);
    EXPECT_EQ(found[0].length, firmware.size() + 4);
    EXPECT_EQ(0, memcmp(found[0].data + 4, firmware.data(), firmware.size()));
    EXPECT_TRUE(file.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS).empty());

    std::vector<uint8_t> stream = writer.BlockStream();
    EXPECT_EQ(file.fileChecksum, BirdWriter::Checksum(stream.data(), stream.size() - 4));
    EXPECT_FALSE(Has(loaded.log, "mismatch")) << loaded.log;
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE:\t\t File reports 3 blocks\n"));
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE:\t\t 01   00   304\n"));
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE:\t\t \t[2.10.3          ]\n"));
}

TEST(BirdFileLoad, TypeAndFlagsAreSplitFromOneByte)
{
    std::vector<uint8_t> block = BirdWriter::EncodeBlock(1, 2, Bytes({0x00, 0x00, 0x10, 0x00, 0xAA}));
    ASSERT_EQ(block[0], 0x41);
    Loaded loaded;
    LoadInto(loaded, BirdWriter::Wrap(Stream(1, {block})));
    ASSERT_TRUE(loaded.ok);
    ASSERT_EQ(loaded.file.blocks.size(), 1u);
    EXPECT_EQ(loaded.file.blocks[0].type, 1);
    EXPECT_EQ(loaded.file.blocks[0].flags, 2);
    EXPECT_EQ(loaded.file.blocks[0].address, 0x1000u);
    EXPECT_EQ(loaded.file.fileChecksum, 0xC0FFEE42u);
}

TEST(BirdFileLoad, StructuralMismatchesAreLoggedAndTolerated)
{
    std::vector<std::vector<uint8_t>> three = {BirdWriter::EncodeBlock(0, 0, Code(8)),
                                               BirdWriter::EncodeBlock(1, 0, Code(20)),
                                               BirdWriter::EncodeBlock(3, 0, Code(3))};
    {
        Loaded loaded;
        LoadInto(loaded, BirdWriter::Wrap(Stream(4, three)));
        EXPECT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.file.blockCount, 3u);
        EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Block parsing mismatch in number of blocks. (3 != 4)\n")) << loaded.log;
        EXPECT_FALSE(Has(loaded.log, "data size"));
    }
    {
        // Two stray bytes after the checksum: the checksum is still found.
        Loaded loaded;
        LoadInto(loaded, BirdWriter::Wrap(Stream(3, three, Bytes({0x55, 0x66}))));
        EXPECT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.file.blockCount, 3u);
        EXPECT_EQ(loaded.file.fileChecksum, 0xC0FFEE42u);
        EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"))
            << loaded.log;
        EXPECT_FALSE(Has(loaded.log, "number of blocks"));
    }
    {
        // Fewer declared than present: every block that is there is still indexed.
        Loaded loaded;
        LoadInto(loaded, BirdWriter::Wrap(Stream(2, three)));
        EXPECT_TRUE(loaded.ok);
        EXPECT_EQ(loaded.file.blockCount, 3u);
        EXPECT_TRUE(Has(loaded.log, "(3 != 2)"));
    }
}

TEST(BirdFileLoad, BlockRunningPastTheStreamIsNotIndexed)
{
    // The second block claims 1000 payload bytes; the stream ends after 10.
    std::vector<uint8_t> cut = BirdWriter::EncodeBlock(1, 0, Code(10));
    cut[1] = 0, cut[2] = 0, cut[3] = 0x03, cut[4] = 0xE8;
    std::vector<uint8_t> stream = Stream(2, {BirdWriter::EncodeBlock(4, 0, Code(64)), cut}, {}, false);
    Loaded loaded;
    LoadInto(loaded, BirdWriter::Wrap(stream));
    EXPECT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.file.blockCount, 1u);
    ASSERT_EQ(loaded.file.blocks.size(), 1u);
    EXPECT_EQ(loaded.file.blocks[0].type, BirdFile::BIRD_BLOCK_INFO);
    EXPECT_EQ(loaded.file.fileChecksum, 0u);
    // 10 bytes present, 1000 claimed, and the checksum word missing as well.
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Block parsing mismatch in data size. (-994 bytes remaining)\n"))
        << loaded.log;
    EXPECT_TRUE(Has(loaded.log, "(1 != 2)"));
}

TEST(BirdFileLoad, StreamsTooShortForTheirFramingAreReportedNotOverread)
{
    struct Case {
        std::vector<uint8_t> stream;
        const char* remaining;
    } cases[] = {
        {{}, "(-8 bytes remaining)"},
        {Bytes({0, 0}), "(-6 bytes remaining)"},
        {Bytes({0, 0, 0, 0, 1, 2}), "(-2 bytes remaining)"},  // count, then half a checksum
        {Bytes({0, 0, 0, 1, 0x41, 0xFF, 0xFF, 0xFF, 0xFF}), "bytes remaining)"},
    };
    for (const Case& c : cases) {
        BirdFile file;
        // Exact-size heap copies let the address sanitizer catch any read past the end.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[c.stream.size()]);
        if (!c.stream.empty())
            memcpy(copy.get(), c.stream.data(), c.stream.size());
        LogCapture capture(DEBUG_BirdFile);
        EXPECT_FALSE(file.ScanBlocks(copy.get(), unsigned(c.stream.size())));
        EXPECT_TRUE(capture.Contains(c.remaining)) << capture.Text();
        EXPECT_EQ(file.blockCount, 0u);
    }
}

TEST(BirdFileLoad, DamagedCompressedPayloadFailsWithZlibCode)
{
    std::vector<uint8_t> bytes = BirdWriter().AddFirmware(0, Code(5000)).FileBytes();
    bytes.resize(bytes.size() / 2);
    Loaded loaded;
    LoadInto(loaded, bytes);
    EXPECT_FALSE(loaded.ok);
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Error (-3) decompressing bird file.\n")) << loaded.log;
    EXPECT_EQ(loaded.file.blockCount, 0u);
    EXPECT_TRUE(loaded.file.blocks.empty());
    EXPECT_EQ(loaded.file.DataLength(), 0u);
}

TEST(BirdFileLoad, PayloadInflatingBeyondEightTimesFails)
{
    std::vector<uint8_t> zeros(200000, 0);
    Loaded loaded;
    LoadInto(loaded, BirdWriter::Wrap(Stream(1, {BirdWriter::EncodeBlock(1, 0, zeros)})));
    EXPECT_FALSE(loaded.ok);
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Error (-5) decompressing bird file.\n")) << loaded.log;
    EXPECT_TRUE(loaded.file.blocks.empty());
}

TEST(BirdFileLoad, OversizedPayloadIsRefusedBeforeAllocating)
{
    // 8 x length would not fit the 32-bit buffer length: refused without touching source.
    unsigned char tiny[4] = {};
    BirdFile file;
    LogCapture capture(DEBUG_BirdFile);
    EXPECT_FALSE(file.DecompressData(tiny, 0x20000000UL));
    EXPECT_FALSE(file.DecompressData(tiny, 0xFFFFFFFFUL));
    EXPECT_TRUE(capture.Contains("too large to inflate")) << capture.Text();
    EXPECT_EQ(file.DataLength(), 0u);
}

TEST(BirdFileLoad, MissingShortAndUnreadableFiles)
{
    TempDir dir;
    {
        BirdFile file;
        file.path = dir / "absent.bird";
        LogCapture capture(DEBUG_BirdFile);
        EXPECT_FALSE(file.Load());
        EXPECT_TRUE(capture.Contains("BIRDFILE: BIRD file not found [" + file.path + "]\n"));
    }
    {
        BirdFile file;
        file.path = dir.Write("short.bird", Bytes({'b', 'i', 'r', 'd', 1, 1}));
        EXPECT_FALSE(file.Load());
        EXPECT_EQ(file.signature, 0u);  // six bytes or fewer: header fields stay unset
    }
    EXPECT_THROW(
        {
            try {
                BirdFile file((dir / "absent.bird").c_str());
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Failed to load bird data");
                throw;
            }
        },
        std::runtime_error);
}

TEST(BirdFileVerify, HeaderTest)
{
    TempDir dir;
    std::vector<uint8_t> tail = Bytes({0x78, 0x9C});
    auto file = [&](std::vector<uint8_t> header) {
        header.insert(header.end(), tail.begin(), tail.end());
        return dir.Write("f", header);
    };
    EXPECT_TRUE(BirdFile::VerifyFile(file(Bytes({'b', 'i', 'r', 'd', 1, 1})).c_str()));
    EXPECT_TRUE(BirdFile::VerifyFile(file(Bytes({'b', 'i', 'r', 'd', 2, 7})).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(file(Bytes({'b', 'i', 'r', 'd', 1, 0})).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(file(Bytes({'b', 'i', 'r', 'd', 0, 1})).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(file(Bytes({'B', 'I', 'R', 'D', 1, 1})).c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.Write("five", Bytes({'b', 'i', 'r', 'd', 1})).c_str()));
    EXPECT_TRUE(BirdFile::VerifyFile(dir.Write("six", Bytes({'b', 'i', 'r', 'd', 1, 1})).c_str()));

    LogCapture capture(DEBUG_BirdFile);
    EXPECT_FALSE(BirdFile::VerifyFile((dir / "none").c_str()));
    EXPECT_TRUE(capture.Contains("BIRDFILE: Error - cannot open bird file: '" + dir / "none" + "'\n"));
}

TEST(BirdFileInfo, FieldsAreParsedAsSpecifiedTexts)
{
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddInfo(1234, "2.10.3", 0x0ABC1234, "HUB8").FileBytes());
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.file.GetBuild(), 1234u);
    EXPECT_EQ(loaded.file.GetVersion(), "2.10.3");
    EXPECT_EQ(loaded.file.GetSerialNumber(), 0x0ABC1234u);

    Loaded odd;
    LoadInto(odd, BirdWriter().AddInfoText("  77x", "2.1 beta", "  ab12 ", "M").FileBytes());
    ASSERT_TRUE(odd.ok);
    EXPECT_EQ(odd.file.GetVersion(), "2.1");
    EXPECT_EQ(odd.file.GetBuild(), 77u);
    EXPECT_EQ(odd.file.GetSerialNumber(), 0xAB12u);

    // Only the first 15 characters of build and version and 8 of the serial count.
    Loaded wide;
    LoadInto(wide, BirdWriter().AddInfoText("1234567890123456", "abcdefghijklmnop", "123456789", "M").FileBytes());
    ASSERT_TRUE(wide.ok);
    EXPECT_EQ(wide.file.GetBuild(), uint32_t(123456789012345ULL));
    EXPECT_EQ(wide.file.GetVersion(), "abcdefghijklmno");
    EXPECT_EQ(wide.file.GetSerialNumber(), 0x12345678u);

    Loaded noDigits;
    LoadInto(noDigits, BirdWriter().AddInfoText("v12", "", "-1", "").FileBytes());
    EXPECT_EQ(noDigits.file.GetBuild(), 0u);
    EXPECT_EQ(noDigits.file.GetVersion(), "");
    EXPECT_EQ(noDigits.file.GetSerialNumber(), 0u);
}

TEST(BirdFileInfo, WithoutInformationBlock)
{
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddFirmware(0x1000, Code(16)).FileBytes());
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.file.GetVersion(), "");
    EXPECT_EQ(loaded.file.GetBuild(), 0u);
    EXPECT_EQ(loaded.file.GetSerialNumber(), 0u);
    EXPECT_FALSE(loaded.file.hasSerialOffsets);
    EXPECT_EQ(loaded.file.serialNumberOffset, 0u);
    EXPECT_EQ(loaded.file.descriptorOffset, 0u);
}

TEST(BirdFileInfo, ShortInformationBlockReadsAsSpacesBeyondItsEnd)
{
    std::string text = "42              3.0";  // 19 bytes: build and part of the version
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddBlock(4, std::vector<uint8_t>(text.begin(), text.end())).FileBytes());
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.file.GetBuild(), 42u);
    EXPECT_EQ(loaded.file.GetVersion(), "3.0");
    EXPECT_EQ(loaded.file.GetSerialNumber(), 0u);
    EXPECT_FALSE(loaded.file.ValidateModel("X"));
}

TEST(BirdFileInfo, OffsetsBlockSetsBothOffsets)
{
    Loaded loaded;
    LoadInto(loaded,
             BirdWriter().AddFirmware(0x1000, Code(16)).AddOffsets(0x1010, 0x1020).AddOffsets(7, 8).FileBytes());
    ASSERT_TRUE(loaded.ok);
    EXPECT_TRUE(loaded.file.hasSerialOffsets);
    EXPECT_EQ(loaded.file.serialNumberOffset, 0x1010u);  // the first offsets block counts
    EXPECT_EQ(loaded.file.descriptorOffset, 0x1020u);
    EXPECT_TRUE(Has(loaded.log, "BIRDFILE: Offsets: Serial number: 4112, Descriptor: 4128\n"));
}

TEST(BirdFileDump, RowsOfFiftyBytesWithTheirText)
{
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddBlock(3, Bytes({0x41, 0x42, 0x0A})).FileBytes());
    ASSERT_TRUE(loaded.ok);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(loaded.file.DumpBlocks(BirdFile::BLOCK_TYPE(3)));
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "BIRDFILE: BLOCK DUMP [" + loaded.file.path + "]\n \r\n000000: 41 42 0A  AB \n\n");

    Loaded wide;
    LoadInto(wide, BirdWriter().AddBlock(3, std::vector<uint8_t>(51, 'x')).FileBytes());
    testing::internal::CaptureStdout();
    wide.file.DumpBlocks(BirdFile::BLOCK_TYPE(3));
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" " + std::string(50, 'x') + "\r\n000050: 78  x\n"), std::string::npos) << out;
}

TEST(BirdFileMove, BlocksStayValidAndTheSourceIsEmptied)
{
    Loaded loaded;
    LoadInto(loaded, BirdWriter().AddFirmware(0x1000, Code(32)).AddOffsets(0x1004, 0).FileBytes());
    ASSERT_TRUE(loaded.ok);
    const unsigned char* payload = loaded.file.blocks[0].data;
    BirdFile moved(std::move(loaded.file));
    EXPECT_EQ(moved.blockCount, 2u);
    EXPECT_TRUE(moved.hasSerialOffsets);
    EXPECT_EQ(moved.blocks[0].data, payload);
    EXPECT_GE(payload, moved.Data());
    EXPECT_LT(payload, moved.Data() + moved.DataLength());
    EXPECT_TRUE(loaded.file.blocks.empty());
    EXPECT_EQ(loaded.file.Data(), nullptr);
    EXPECT_EQ(loaded.file.blockCount, 0u);

    BirdFile assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0].address, 0x1000u);
    EXPECT_TRUE(moved.path.empty());
}

TEST(BirdWriterRoundTrip, EveryBlockComesBackAsWritten)
{
    BirdWriter writer;
    writer.AddLoader(0x20200000, Code(100, 3), 1)
        .AddFirmware(0x60000000, Code(5000, 5), 7)
        .AddFirmware(0x60100000, Code(1, 6))
        .AddOffsets(0x60000400, 0x60000800)
        .AddBlock(31, Code(2))
        .AddInfo(99, "1.0.0", 0xDEADBEEF, "MODEL-SIXTEEN-16")
        .AddStartAddress(0x20201000)
        .SetFormatVersion(0x0203);
    Loaded loaded;
    LoadInto(loaded, writer.FileBytes());
    ASSERT_TRUE(loaded.ok) << loaded.log;
    EXPECT_EQ(loaded.file.version, 0x0203u);
    ASSERT_EQ(loaded.file.blocks.size(), writer.Blocks().size());
    for (size_t i = 0; i < writer.Blocks().size(); i++) {
        const BirdWriter::Block& written = writer.Blocks()[i];
        const BirdBlock& read = loaded.file.blocks[i];
        EXPECT_EQ(read.type, written.type) << i;
        EXPECT_EQ(read.flags, written.flags) << i;
        ASSERT_EQ(read.length, written.payload.size()) << i;
        EXPECT_EQ(0, memcmp(read.data, written.payload.data(), read.length)) << i;
    }
    EXPECT_EQ(loaded.file.blocks[1].address, 0x60000000u);
    EXPECT_EQ(loaded.file.GetSerialNumber(), 0xDEADBEEFu);
    EXPECT_TRUE(loaded.file.ValidateModel("MODEL-SIXTEEN-16"));
    EXPECT_THROW(BirdWriter().AddInfo(1, "seventeen-chars!!", 0, ""), std::invalid_argument);
    EXPECT_THROW(BirdWriter().AddBlock(32, {}), std::invalid_argument);
    EXPECT_THROW(BirdWriter().AddBlock(1, {}, 8), std::invalid_argument);
}

TEST(BirdWriterFile, WriteReplacesAtomicallyAndLeavesNoTemporary)
{
    TempDir dir;
    std::string path = dir / "7.bird";
    std::string error;
    ASSERT_TRUE(BirdWriter().AddInfo(7, "7.0", 0, "A").Write(path, &error)) << error;
    ASSERT_TRUE(BirdWriter().AddInfo(8, "8.0", 0, "B").Write(path, &error)) << error;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"7.bird"});
    EXPECT_EQ(BirdFile(path.c_str()).GetBuild(), 8u);

    EXPECT_FALSE(BirdWriter().Write(dir / "missing/x.bird", &error));
    EXPECT_NE(error.find("missing"), std::string::npos);
    EXPECT_EQ(dir.List(), std::vector<std::string>{"7.bird"});
}
