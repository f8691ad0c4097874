// birdtool: makes and inspects BIRD firmware images.
//
//   birdtool create OUTPUT [block options...]   write an image (atomically)
//   birdtool info FILE                          blocks, information fields, offsets, damage
//   birdtool dump TYPE FILE                     hex dump of every block of a type
//
// The trailing file checksum of images made here is the CRC-32 (zlib's crc32) of the
// block stream before it (declared count and blocks). `info` reports whether a file's
// checksum follows that rule; a file made by another writer may use another rule, so a
// differing checksum is a note, not damage.
//
// Exit status: 0 success; 1 a damaged or unreadable image, or a failed write; 2 usage.
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

#include "common/Log.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const USAGE =
    "usage: birdtool create OUTPUT [options]   make a BIRD image\n"
    "       birdtool info [-v] FILE            list blocks, information fields and offsets\n"
    "       birdtool dump TYPE FILE            hex dump of the blocks of one type\n"
    "\n"
    "create options (blocks are written in the order given):\n"
    "  --loader ADDRESS CODEFILE        loader block: load address and code bytes\n"
    "  --firmware ADDRESS CODEFILE      firmware block (repeat for several)\n"
    "  --offsets SERIAL DESCRIPTOR      serial-number and descriptor offsets (0 = absent)\n"
    "  --info BUILD VERSION SERIAL MODEL\n"
    "                                   information block; SERIAL is hexadecimal,\n"
    "                                   each text at most 16 characters\n"
    "  --start-address ADDRESS          start address of a recovery loader\n"
    "  --scramble W0:W1:W2:W3           scramble the firmware blocks that follow with these four\n"
    "                                   hexadecimal words (an LPC chip's fingerprint: its recovery\n"
    "                                   descrambles them); --scramble off stops\n"
    "  --block TYPE PAYLOADFILE         any block (type 0-31), payload taken as it is\n"
    "  --flags N                        flags (0-7) of the blocks that follow\n"
    "  --format-version N               header format version (default 0x0101)\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix.\n"
    "TYPE is loader, firmware, offsets, info, start-address or a number 0-31.\n"
    "\n"
    "Checksum rule: the last 4 bytes of the block stream hold, big-endian, the CRC-32\n"
    "(zlib crc32) of the block stream before them: the declared count and all blocks.\n"
    "\n"
    "Exit status: 0 success, 1 damaged or unreadable image or failed write, 2 usage.\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint32_t _number(const std::string& text, const char* what, int base = 0)
{
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || value > UINT32_MAX || text[0] == '-')
        throw UsageError(std::string("invalid ") + what + ": " + text);
    return uint32_t(value);
}

uint8_t _block_type(const std::string& text)
{
    static const char* const names[] = {"loader", "firmware", "offsets", "", "info", "start-address"};
    for (uint8_t t = 0; t < 6; t++)
        if (text == names[t] && names[t][0])
            return t;
    uint32_t value = _number(text, "block type");
    if (value > BirdFile::BIRD_FILE_TYPE_MASK)
        throw UsageError("block type above 31: " + text);
    return uint8_t(value);
}

const char* _type_name(uint8_t type)
{
    switch (type) {
    case BirdFile::BIRD_BLOCK_LOADER:
        return "loader";
    case BirdFile::BIRD_BLOCK_FIRMWARE:
        return "firmware";
    case BirdFile::BIRD_BLOCK_OFFSETS:
        return "offsets";
    case BirdFile::BIRD_BLOCK_INFO:
        return "info";
    case BirdFile::BIRD_BLOCK_START_ADDRESS:
        return "start-address";
    default:
        return "-";
    }
}

std::vector<uint8_t> _read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path + ": " + strerror(errno));
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "W0:W1:W2:W3" (hexadecimal words) into key; false for "off".
bool _scramble_key(const std::string& text, uint32_t key[4])
{
    if (text == "off")
        return false;
    size_t start = 0;
    for (int w = 0; w < 4; w++) {
        size_t end = w < 3 ? text.find(':', start) : text.size();
        std::string word = end == std::string::npos ? "" : text.substr(start, end - start);
        char* rest = nullptr;
        unsigned long value = word.empty() || word.size() > 8 ? 0 : strtoul(word.c_str(), &rest, 16);
        if (word.empty() || word.size() > 8 || *rest != '\0')
            throw UsageError("--scramble needs four hexadecimal words W0:W1:W2:W3 or off: " + text);
        key[w] = uint32_t(value);
        start = end + 1;
    }
    return true;
}

int _create(int argc, char** argv)
{
    if (argc < 1)
        throw UsageError("create needs an output file");
    std::string output = argv[0];
    BirdWriter writer;
    uint8_t flags = 0;
    bool scramble = false;
    uint32_t key[4] = {};
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        auto need = [&](int count) {
            if (i + count >= argc)
                throw UsageError(option + " needs " + std::to_string(count) + " argument(s)");
        };
        if (option == "--loader" || option == "--firmware") {
            need(2);
            uint32_t address = _number(argv[i + 1], "address");
            std::vector<uint8_t> code = _read_file(argv[i + 2]);
            if (scramble && option == "--firmware")
                BirdWriter::Scramble(code, key);
            if (option == "--loader")
                writer.AddLoader(address, code, flags);
            else
                writer.AddFirmware(address, code, flags);
            i += 2;
        } else if (option == "--offsets") {
            need(2);
            writer.AddOffsets(_number(argv[i + 1], "serial-number offset"), _number(argv[i + 2], "descriptor offset"));
            i += 2;
        } else if (option == "--info") {
            need(4);
            writer.AddInfo(_number(argv[i + 1], "build", 10), argv[i + 2], _number(argv[i + 3], "serial number", 16),
                           argv[i + 4]);
            i += 4;
        } else if (option == "--start-address") {
            need(1);
            writer.AddStartAddress(_number(argv[i + 1], "start address"));
            i += 1;
        } else if (option == "--block") {
            need(2);
            writer.AddBlock(_block_type(argv[i + 1]), _read_file(argv[i + 2]), flags);
            i += 2;
        } else if (option == "--scramble") {
            need(1);
            scramble = _scramble_key(argv[i + 1], key);
            i += 1;
        } else if (option == "--flags") {
            need(1);
            uint32_t value = _number(argv[i + 1], "flags");
            if (value > 7)
                throw UsageError("flags above 7: " + std::string(argv[i + 1]));
            flags = uint8_t(value);
            i += 1;
        } else if (option == "--format-version") {
            need(1);
            uint32_t value = _number(argv[i + 1], "format version");
            if (value > 0xFFFF)
                throw UsageError("format version above 0xFFFF");
            writer.SetFormatVersion(uint16_t(value));
            i += 1;
        } else {
            throw UsageError("unknown option: " + option);
        }
    }
    std::string error;
    if (!writer.Write(output, &error)) {
        fprintf(stderr, "birdtool: %s\n", error.c_str());
        return 1;
    }
    printf("%s: %zu blocks written\n", output.c_str(), writer.Blocks().size());
    return 0;
}

// Loads the file with the debug log captured, so that the reader's own reports of
// damage can be shown to the user.
bool _load_logged(BirdFile& file, std::string& log)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* capture = open_memstream(&text, &size);
    FILE* previousOutput = Log::fh;
    uint32_t previousMask = Log::package_bitmask;
    if (capture)
        Log::SetOutput(capture);
    Log::ActivatePackage(DEBUG_BirdFile);
    bool loaded = file.Load();
    Log::package_bitmask = previousMask;
    Log::SetOutput(previousOutput);
    if (capture) {
        fclose(capture);
        log.assign(text ? text : "", size);
        free(text);
    }
    return loaded;
}

std::vector<std::string> _problems_in(const std::string& log)
{
    std::vector<std::string> problems;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(start, end - start);
        if (line.find("Error") != std::string::npos || line.find("mismatch") != std::string::npos) {
            if (line.rfind("BIRDFILE: ", 0) == 0)
                line.erase(0, 10);
            problems.push_back(line);
        }
        start = end + 1;
    }
    return problems;
}

void _print_blocks(const BirdFile& file)
{
    const unsigned char* data = file.Data();
    uint32_t declared = file.DataLength() >= 4
                            ? (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) | (uint32_t(data[2]) << 8) | data[3]
                            : 0;
    printf("blocks: %u found, %u declared\n", file.blockCount, declared);
    printf("  %-3s %-4s %-14s %-5s %-10s %-10s %s\n", "#", "type", "name", "flags", "length", "address", "offset");
    int index = 0;
    for (const BirdBlock& block : file.Blocks()) {
        printf("  %-3d %-4u %-14s %-5u %-10u 0x%08X %ld\n", index++, block.type, _type_name(block.type), block.flags,
               block.length, block.address, long(block.data - data) - long(BirdFile::BLOCK_HEADER_SIZE));
    }
}

void _print_information(const BirdFile& file)
{
    if (file.FindBlocks(BirdFile::BIRD_BLOCK_INFO).empty()) {
        printf("information: none\n");
    } else {
        printf("information: build [%s] version [%s] serial [%s] model [%s]\n",
               file.InfoFieldText(BirdFile::INFO_BUILD).c_str(), file.InfoFieldText(BirdFile::INFO_VERSION).c_str(),
               file.InfoFieldText(BirdFile::INFO_SERIAL).c_str(), file.InfoFieldText(BirdFile::INFO_MODEL).c_str());
        printf("  build %u, version %s, serial number %08X\n", file.GetBuild(), file.GetVersion().c_str(),
               file.GetSerialNumber());
    }
    if (file.hasSerialOffsets)
        printf("offsets: serial number 0x%08X, descriptor 0x%08X\n", file.serialNumberOffset, file.descriptorOffset);
    else
        printf("offsets: none\n");
    for (const BirdBlock& block : file.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS)) {
        uint32_t address = 0;
        for (uint32_t i = 0; i < 4 && i < block.length; i++)
            address = (address << 8) | block.data[i];
        printf("start address: 0x%08X\n", address);
    }
}

int _info(int argc, char** argv)
{
    bool verbose = argc > 0 && std::string(argv[0]) == "-v";
    if (verbose)
        argc--, argv++;
    if (argc != 1)
        throw UsageError("info needs one file");
    std::string path = argv[0];
    std::vector<uint8_t> raw = _read_file(path);
    std::vector<std::string> problems;

    printf("file: %s (%zu bytes)\n", path.c_str(), raw.size());
    if (raw.size() < BirdFile::HEADER_SIZE) {
        problems.emplace_back("file too short for the 6-byte header");
    } else {
        unsigned formatVersion = (unsigned(raw[4]) << 8) | raw[5];
        printf("header: signature \"%.4s\", format version 0x%04X\n",
               memcmp(raw.data(), "bird", 4) == 0 ? "bird" : "????", formatVersion);
        if (memcmp(raw.data(), BirdFile::BIRD_FILE_SIGNATURE, 4) != 0)
            problems.emplace_back("signature is not \"bird\"");
        if (raw[4] == 0 || raw[5] == 0)
            problems.emplace_back("format version bytes must both be non-zero");
    }

    BirdFile file;
    file.path = path;
    std::string log;
    bool loaded = _load_logged(file, log);
    if (verbose)
        fputs(log.c_str(), stderr);
    for (const std::string& problem : _problems_in(log))
        problems.push_back(problem);

    if (loaded) {
        printf("block stream: %u bytes inflated from %zu\n", file.DataLength(),
               raw.size() > BirdFile::HEADER_SIZE ? raw.size() - BirdFile::HEADER_SIZE : 0);
        _print_blocks(file);
        _print_information(file);
        bool intact = _problems_in(log).empty() && file.DataLength() >= 8;
        if (intact) {
            uint32_t crc = BirdWriter::Checksum(file.Data(), file.DataLength() - 4);
            printf("checksum: 0x%08X (%s)\n", file.fileChecksum,
                   crc == file.fileChecksum ? "CRC-32 of the block stream: matches"
                                            : "not the CRC-32 of the block stream: another writer's rule");
        }
    }
    for (const std::string& problem : problems)
        printf("damaged: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}

int _dump(int argc, char** argv)
{
    if (argc != 2)
        throw UsageError("dump needs a block type and a file");
    uint8_t type = _block_type(argv[0]);
    if (!BirdFile::VerifyFile(argv[1])) {
        fprintf(stderr, "birdtool: %s is not a BIRD file\n", argv[1]);
        return 1;
    }
    BirdFile file(argv[1]);
    file.DumpBlocks(BirdFile::BLOCK_TYPE(type));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Log::SetOutput(stderr);
    if (argc < 2) {
        fputs(USAGE, stderr);
        return 2;
    }
    std::string command = argv[1];
    try {
        if (command == "create")
            return _create(argc - 2, argv + 2);
        if (command == "info")
            return _info(argc - 2, argv + 2);
        if (command == "dump")
            return _dump(argc - 2, argv + 2);
        if (command == "-h" || command == "--help" || command == "help") {
            fputs(USAGE, stdout);
            return 0;
        }
        throw UsageError("unknown command: " + command);
    } catch (const UsageError& e) {
        fprintf(stderr, "birdtool: %s\n\n%s", e.what(), USAGE);
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "birdtool: %s\n", e.what());
        return 1;
    }
}
