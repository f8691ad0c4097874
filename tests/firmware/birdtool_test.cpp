// The birdtool command: create, info and dump, run as a separate program.
#include "BirdFixture.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
};

std::string Quote(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs birdtool with the arguments; standard error is merged into the output.
ToolRun Birdtool(const std::vector<std::string>& args)
{
    std::string command = Quote(UPDATER_BINARY_DIR "/firmware/birdtool");
    for (const std::string& arg : args)
        command += " " + Quote(arg);
    command += " 2>&1";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

TEST(Birdtool, CreateThenLoadGivesTheSameBlocksFieldsAndOffsets)
{
    TempDir dir;
    std::vector<uint8_t> loader = Code(64, 1), firmwareA = Code(3000, 2), firmwareB = Code(17, 3);
    std::string image = dir / "1234.bird";
    ToolRun made =
        Birdtool({"create",    image,        "--loader",   "0x20000000",      dir.Write("loader.bin", loader),
                  "--flags",   "5",          "--firmware", "0x60000000",      dir.Write("a.bin", firmwareA),
                  "--flags",   "0",          "--firmware", "1610616832",      dir.Write("b.bin", firmwareB),
                  "--offsets", "0x60000010", "0x60000100", "--info",          "1234",
                  "2.10.3",    "0ABC1234",   "HUB8",       "--start-address", "0x20201000"});
    ASSERT_EQ(made.status, 0) << made.out;

    ASSERT_TRUE(BirdFile::VerifyFile(image.c_str()));
    BirdFile file(image.c_str());
    ASSERT_EQ(file.blockCount, 6u);
    EXPECT_EQ(file.blocks[0].type, BirdFile::BIRD_BLOCK_LOADER);
    EXPECT_EQ(file.blocks[0].address, 0x20000000u);
    EXPECT_EQ(file.blocks[0].flags, 0);
    EXPECT_EQ(0, memcmp(file.blocks[0].data + 4, loader.data(), loader.size()));
    EXPECT_EQ(file.blocks[1].flags, 5);
    EXPECT_EQ(file.blocks[1].length, firmwareA.size() + 4);
    EXPECT_EQ(0, memcmp(file.blocks[1].data + 4, firmwareA.data(), firmwareA.size()));
    EXPECT_EQ(file.blocks[2].address, 1610616832u);
    EXPECT_EQ(0, memcmp(file.blocks[2].data + 4, firmwareB.data(), firmwareB.size()));
    EXPECT_TRUE(file.hasSerialOffsets);
    EXPECT_EQ(file.serialNumberOffset, 0x60000010u);
    EXPECT_EQ(file.descriptorOffset, 0x60000100u);
    EXPECT_EQ(file.GetBuild(), 1234u);
    EXPECT_EQ(file.GetVersion(), "2.10.3");
    EXPECT_EQ(file.GetSerialNumber(), 0x0ABC1234u);
    EXPECT_TRUE(file.ValidateModel("HUB8"));
    std::vector<BirdBlock> start = file.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].data[0], 0x20);
    EXPECT_EQ(file.fileChecksum, BirdWriter::Checksum(file.Data(), file.DataLength() - 4));

    ToolRun info = Birdtool({"info", image});
    EXPECT_EQ(info.status, 0) << info.out;
    EXPECT_TRUE(Has(info.out, "blocks: 6 found, 6 declared")) << info.out;
    EXPECT_TRUE(Has(info.out, "build 1234, version 2.10.3, serial number 0ABC1234")) << info.out;
    EXPECT_TRUE(Has(info.out, "offsets: serial number 0x60000010, descriptor 0x60000100")) << info.out;
    EXPECT_TRUE(Has(info.out, "start address: 0x20201000")) << info.out;
    EXPECT_TRUE(Has(info.out, "CRC-32 of the block stream: matches")) << info.out;
    EXPECT_FALSE(Has(info.out, "damaged"));
}

TEST(Birdtool, InfoOnDamagedFilesSaysWhatIsWrong)
{
    TempDir dir;
    std::vector<uint8_t> good = BirdWriter().AddFirmware(0, Code(4000)).AddInfo(1, "1.0", 0, "M").FileBytes();

    std::vector<uint8_t> cut(good.begin(), good.begin() + long(good.size() / 2));
    ToolRun truncated = Birdtool({"info", dir.Write("cut.bird", cut)});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_TRUE(Has(truncated.out, "damaged: Error (-3) decompressing bird file.")) << truncated.out;

    std::vector<uint8_t> badHeader = good;
    badHeader[0] = 'B';
    badHeader[5] = 0;
    ToolRun header = Birdtool({"info", dir.Write("header.bird", badHeader)});
    EXPECT_EQ(header.status, 1);
    EXPECT_TRUE(Has(header.out, "damaged: signature is not \"bird\"")) << header.out;
    EXPECT_TRUE(Has(header.out, "damaged: format version bytes must both be non-zero")) << header.out;

    std::vector<uint8_t> stream = BirdWriter().AddFirmware(0, Code(10)).BlockStream();
    stream[3] = 2;  // declares two blocks, holds one
    ToolRun count = Birdtool({"info", dir.Write("count.bird", BirdWriter::Wrap(stream))});
    EXPECT_EQ(count.status, 1);
    EXPECT_TRUE(Has(count.out, "blocks: 1 found, 2 declared")) << count.out;
    EXPECT_TRUE(Has(count.out, "damaged: Block parsing mismatch in number of blocks. (1 != 2)")) << count.out;

    ToolRun missing = Birdtool({"info", dir / "none.bird"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Has(missing.out, "cannot read")) << missing.out;
}

TEST(Birdtool, ForeignChecksumIsANoteNotDamage)
{
    TempDir dir;
    std::vector<uint8_t> stream = BirdWriter().AddFirmware(0, Code(10)).BlockStream();
    stream.back() ^= 0xFF;
    ToolRun run = Birdtool({"info", dir.Write("foreign.bird", BirdWriter::Wrap(stream))});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(Has(run.out, "another writer's rule")) << run.out;
}

TEST(Birdtool, DumpPrintsTheBlocksOfOneType)
{
    TempDir dir;
    std::string image = dir / "d.bird";
    ASSERT_TRUE(BirdWriter().AddBlock(3, {0x41, 0x42, 0x0A}).AddFirmware(0, {1}).Write(image));
    ToolRun dump = Birdtool({"dump", "3", image});
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out, "BIRDFILE: BLOCK DUMP [" + image + "]\n \r\n000000: 41 42 0A  AB \n\n");
    ToolRun named = Birdtool({"dump", "firmware", image});
    EXPECT_TRUE(Has(named.out, "000000: 00 00 00 00 01")) << named.out;
}

TEST(Birdtool, UsageErrorsExitWithTwo)
{
    TempDir dir;
    EXPECT_EQ(Birdtool({}).status, 2);
    EXPECT_EQ(Birdtool({"frobnicate"}).status, 2);
    ToolRun badFlags = Birdtool({"create", dir / "x.bird", "--flags", "8"});
    EXPECT_EQ(badFlags.status, 2);
    EXPECT_TRUE(Has(badFlags.out, "flags above 7")) << badFlags.out;
    EXPECT_EQ(Birdtool({"create", dir / "x.bird", "--firmware", "0x10"}).status, 2);
    ToolRun longText = Birdtool({"create", dir / "x.bird", "--info", "1", "a-version-too-long", "0", "M"});
    EXPECT_EQ(longText.status, 1);
    EXPECT_TRUE(Has(longText.out, "longer than 16")) << longText.out;
    EXPECT_EQ(dir.List(), std::vector<std::string>{});  // nothing half-made is left
    ToolRun help = Birdtool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Has(help.out, "Checksum rule")) << help.out;
}

// A recovery image for an LPC chip: the firmware blocks after --scramble come
// back as they were when descrambled with the chip's fingerprint; loader
// blocks and blocks after --scramble off stay plain.
TEST(Birdtool, ScrambledFirmwareIsDescrambledByTheFingerprint)
{
    TempDir dir;
    std::vector<uint8_t> loader = Code(100, 4), scrambled = Code(5000, 5), plain = Code(300, 6);
    std::string image = dir / "lpc.bird";
    ToolRun made =
        Birdtool({"create", image, "--scramble", "12345678:9abcdef0:0F1E2D3C:4b5a6978", "--loader", "0x10000000",
                  dir.Write("l.bin", loader), "--firmware", "0x10000", dir.Write("s.bin", scrambled), "--scramble",
                  "off", "--firmware", "0x20000", dir.Write("p.bin", plain)});
    ASSERT_EQ(made.status, 0) << made.out;
    BirdFile file(image.c_str());
    ASSERT_EQ(file.blockCount, 3u);
    EXPECT_EQ(0, memcmp(file.blocks[0].data + 4, loader.data(), loader.size()));
    EXPECT_NE(0, memcmp(file.blocks[1].data + 4, scrambled.data(), scrambled.size()));
    const unsigned int key[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
    ASSERT_TRUE(file.DecodeFirmwareBlocks(key));
    EXPECT_EQ(0, memcmp(file.blocks[1].data + 4, scrambled.data(), scrambled.size()));
    // Descrambling is applied to every firmware block: the plain one was not
    // scrambled, so it no longer matches; what matters is that it was stored plain.
    BirdFile stored(image.c_str());
    EXPECT_EQ(0, memcmp(stored.blocks[2].data + 4, plain.data(), plain.size()));
}

TEST(Birdtool, ScrambleRefusesAKeyThatIsNotFourWords)
{
    TempDir dir;
    for (const char* key : {"1:2:3", "1:2:3:4:5", "12345678:9:0:XYZ", "123456789:1:2:3", ""}) {
        ToolRun made =
            Birdtool({"create", dir / "x.bird", "--scramble", key, "--firmware", "0", dir.Write("c.bin", Code(8, 1))});
        EXPECT_EQ(made.status, 2) << key << ": " << made.out;
        EXPECT_NE(made.out.find("--scramble needs four hexadecimal words"), std::string::npos) << made.out;
    }
}
