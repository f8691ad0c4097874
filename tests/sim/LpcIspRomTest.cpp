// The simulated LPC17xx boot ROM as a byte machine: what it answers to each input.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/LpcIspPty.h"
#include "sim/LpcIspRom.h"
#include "support/CodeBytes.h"
#include "support/FdIo.h"

using Sim::LpcIspRom;
using Bytes = std::vector<uint8_t>;

namespace {

// A ROM past the opening handshake, echo off unless asked.
LpcIspRom _synchronised(bool echo = false, bool unlock = false)
{
    LpcIspRom rom;
    rom.Receive("?");
    rom.Receive("Synchronized\r\n");
    rom.Receive("14746\r\n");
    if (!echo)
        rom.Receive("A 0\r\n");
    if (unlock)
        rom.Receive("U 23130\r\n");
    return rom;
}

char _uu(uint32_t v)
{
    return (v & 0x3F) ? static_cast<char>((v & 0x3F) + 32) : '`';
}

std::string _line(const Bytes& data, size_t from, size_t n)
{
    std::string line(1, _uu(static_cast<uint32_t>(n)));
    for (size_t i = 0; i < n; i += 3) {
        uint32_t b0 = data[from + i], b1 = i + 1 < n ? data[from + i + 1] : 0, b2 = i + 2 < n ? data[from + i + 2] : 0;
        line += {_uu(b0 >> 2), _uu((b0 << 4) | (b1 >> 4)), _uu((b1 << 2) | (b2 >> 6)), _uu(b2)};
    }
    return line + "\r\n";
}

uint32_t _sum(const Bytes& data, size_t from, size_t to)
{
    uint32_t s = 0;
    for (size_t i = from; i < to; ++i)
        s += data[i];
    return s;
}

}  // namespace

TEST(LpcIspRom, OpeningHandshakeWithEchoAndNoiseBeforeIt)
{
    LpcIspRom rom;
    EXPECT_EQ(rom.Receive(std::string("\0xyz\r\n", 6)), "") << "noise before the autobaud character";
    EXPECT_EQ(rom.Receive("?"), "Synchronized\r\n");
    EXPECT_EQ(rom.Receive("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
    EXPECT_FALSE(rom.Synchronized());
    EXPECT_EQ(rom.Receive("14746\r\n"), "14746\r\nOK\r\n");
    EXPECT_TRUE(rom.Synchronized());
    EXPECT_TRUE(rom.Echo());
    EXPECT_EQ(rom.Receive("A 0\r\n"), "A 0\r\n0\r\n") << "the command is echoed before echo goes off";
    EXPECT_EQ(rom.Receive("J\r\n"), "0\r\n637615927\r\n");
    EXPECT_EQ(rom.Receive("A 1\r\n"), "0\r\n");
    EXPECT_EQ(rom.Receive("K\r\n"), "K\r\n0\r\n4\r\n1\r\n");

    // A wrong sync word sends the ROM back to autobauding.
    LpcIspRom wrong;
    wrong.Receive("?");
    EXPECT_EQ(wrong.Receive("Synchronised\r\n"), "Synchronised\r\n");
    EXPECT_EQ(wrong.Receive("?"), "Synchronized\r\n");

    rom.Reset();
    EXPECT_FALSE(rom.Synchronized());
    EXPECT_EQ(rom.Receive("J\r\n"), "");
    EXPECT_EQ(rom.Receive("?"), "Synchronized\r\n");
}

TEST(LpcIspRom, CommandRulesAndReturnCodes)
{
    struct Case {
        bool unlock;
        std::string command;
        std::string reply;
    } cases[] = {
        {false, "U 1", "16"},
        {false, "U 23130", "0"},
        {false, "U", "12"},
        {false, "E 0 0", "15"},  // locked
        {true, "E 3 3", "9"},    // not prepared
        {false, "P 1 0", "7"},
        {false, "P 0 30", "7"},
        {false, "P 0 29", "0"},
        {false, "P 0 x", "12"},
        {false, "C 0 268435456 256", "15"},
        {true, "C 100 268435456 256", "3"},
        {true, "C 0 268435456 300", "6"},
        {true, "C 524288 268435456 256", "5"},
        {true, "C 0 268435457 256", "2"},
        {true, "C 0 0 256", "4"},
        {true, "C 0 268435456 256", "9"},
        {false, "W 268435457 4", "13"},
        {false, "W 268435456 6", "6"},
        {false, "W 268435456 0", "6"},
        {false, "W 0 4", "14"},
        {false, "W 268468224 4", "14"},  // just past the local RAM
        {false, "R 2 4", "13"},
        {false, "R 524288 4", "14"},
        {false, "G 0 T", "15"},
        {true, "G 0 X", "12"},
        {false, "A 2", "12"},
        {false, "B 1234 1", "17"},
        {false, "B 9600 3", "18"},
        {false, "B 9600 1", "0"},
        {false, "X", "1"},
        {false, "PP 0 0", "1"},
        {false, std::string(600, 'P'), "1"},  // longer than the ROM's line buffer
        {false, "N", "0\r\n305419896\r\n2596069104\r\n253635900\r\n1264216440"},
        {false, "I 0 29", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command.substr(0, 40));
        LpcIspRom rom = _synchronised(false, c.unlock);
        EXPECT_EQ(rom.Receive(c.command + "\r\n"), c.reply + "\r\n");
    }
    LpcIspRom rom = _synchronised();
    EXPECT_EQ(rom.Receive("\r\n"), "") << "an empty line is no command";
}

TEST(LpcIspRom, WriteTakesUuLinesWithChecksumsAndCopyOnlyClearsBits)
{
    LpcIspRom rom = _synchronised(false, true);
    Bytes data = testsupport::Code(1000);
    ASSERT_EQ(rom.Receive("W 268435456 1000\r\n"), "0\r\n");
    std::string group1, group2;
    for (size_t at = 0; at < 900; at += 45)
        group1 += _line(data, at, 45);
    for (size_t at = 900; at < 1000; at += 45)
        group2 += _line(data, at, std::min<size_t>(45, 1000 - at));
    EXPECT_EQ(rom.Receive(group1), "");
    EXPECT_EQ(rom.Receive(std::to_string(_sum(data, 0, 900) + 1) + "\r\n"), "RESEND\r\n");
    EXPECT_EQ(rom.Ram(0x10000000, 4), Bytes(4, 0)) << "a refused group is not kept";
    EXPECT_EQ(rom.Receive(group1 + std::to_string(_sum(data, 0, 900)) + "\r\n"), "OK\r\n");
    EXPECT_EQ(rom.Receive(group2 + "abc\r\n"), "RESEND\r\n") << "a checksum that is no number";
    EXPECT_EQ(rom.Receive(group2 + std::to_string(_sum(data, 900, 1000)) + "\r\n"), "OK\r\n");
    EXPECT_EQ(rom.Ram(0x10000000, 1000), data);
    EXPECT_EQ(rom.Resends(), 2u);
    EXPECT_EQ(rom.Receive("J\r\n"), "0\r\n637615927\r\n") << "back in command mode";

    // A line announcing more than it carries spoils its group.
    ASSERT_EQ(rom.Receive("W 268435456 4\r\n"), "0\r\n");
    EXPECT_EQ(rom.Receive("$86)C\r\n" + std::to_string(0x61 + 0x62 + 0x63) + "\r\n"), "RESEND\r\n");

    // Flash: erase to 0xFF, copy clears bits only.
    LpcIspRom flash = _synchronised(false, true);
    Bytes f0(256, 0xF0), zf(256, 0x0F);
    auto stage = [&](const Bytes& bytes) {
        std::string reply = flash.Receive("W 268435456 256\r\n");
        std::string lines;
        for (size_t at = 0; at < 256; at += 45)
            lines += _line(bytes, at, std::min<size_t>(45, 256 - at));
        return reply + flash.Receive(lines + std::to_string(_sum(bytes, 0, 256)) + "\r\n");
    };
    ASSERT_EQ(stage(f0), "0\r\nOK\r\n");
    EXPECT_EQ(flash.Receive("P 16 16\r\nC 65536 268435456 256\r\n"), "0\r\n0\r\n");
    EXPECT_EQ(Bytes(flash.Flash().begin() + 0x10000, flash.Flash().begin() + 0x10100), f0);
    EXPECT_EQ(flash.Receive("C 65536 268435456 256\r\n"), "9\r\n") << "a copy uses up its preparation";
    ASSERT_EQ(stage(zf), "0\r\nOK\r\n");
    EXPECT_EQ(flash.Receive("P 16 16\r\nC 65536 268435456 256\r\n"), "0\r\n0\r\n");
    EXPECT_EQ(Bytes(flash.Flash().begin() + 0x10000, flash.Flash().begin() + 0x10100), Bytes(256, 0x00));
    EXPECT_EQ(flash.Receive("I 16 16\r\n"), "8\r\n65536\r\n0\r\n");
    EXPECT_EQ(flash.Receive("P 16 16\r\nE 16 16\r\n"), "0\r\n0\r\n");
    EXPECT_EQ(flash.Flash()[0x10000], 0xFF);
    EXPECT_EQ(flash.Receive("I 16 16\r\n"), "0\r\n");
}

TEST(LpcIspRom, ReadSendsGroupsAndResendsOnRequest)
{
    LpcIspRom rom = _synchronised();
    Bytes data = testsupport::Code(1000);
    rom.SetFlash(data);
    std::string group1, group2;
    for (size_t at = 0; at < 900; at += 45)
        group1 += _line(data, at, 45);
    for (size_t at = 900; at < 1000; at += 45)
        group2 += _line(data, at, std::min<size_t>(45, 1000 - at));
    std::string sum1 = std::to_string(_sum(data, 0, 900)) + "\r\n",
                sum2 = std::to_string(_sum(data, 900, 1000)) + "\r\n";
    EXPECT_EQ(rom.Receive("R 0 1000\r\n"), "0\r\n" + group1 + sum1);
    EXPECT_EQ(rom.Receive("RESEND\r\n"), group1 + sum1);
    EXPECT_EQ(rom.Receive("OK\r\n"), group2 + sum2);
    EXPECT_EQ(rom.Receive("OK\r\n"), "");
    EXPECT_EQ(rom.Receive("J\r\n"), "0\r\n637615927\r\n");

    // A wrong checksum on request, for the host's retry.
    Sim::LpcIspRomFaults faults;
    faults.resendFrom = 1;
    faults.resendCount = 1;
    rom.SetFaults(faults);
    EXPECT_EQ(rom.Receive("R 0 8\r\n"), "0\r\n" + _line(data, 0, 8) + std::to_string(_sum(data, 0, 8) + 1) + "\r\n");
    EXPECT_EQ(rom.Receive("RESEND\r\n"), _line(data, 0, 8) + std::to_string(_sum(data, 0, 8)) + "\r\n");
    // A host that gives up: its next line is a command again.
    EXPECT_EQ(rom.Receive("J\r\n"), "0\r\n637615927\r\n");
}

TEST(LpcIspRom, FaultsGoAndSerialWords)
{
    Sim::LpcIspRomConfig config;
    config.serial[0] = 1;
    config.serial[3] = 0xFFFFFFFF;
    config.partId = 42;
    LpcIspRom rom(config);
    rom.Receive("?Synchronized\r\n14746\r\nA 0\r\n");
    EXPECT_EQ(rom.Receive("N\r\nJ\r\n"), "0\r\n1\r\n2596069104\r\n253635900\r\n4294967295\r\n0\r\n42\r\n");

    Sim::LpcIspRomFaults faults;
    faults.failCommand = 'P';
    faults.failCode = 11;
    faults.failSkip = 1;
    faults.failTimes = 2;
    rom.SetFaults(faults);
    EXPECT_EQ(rom.Receive("P 0 0\r\nP 0 0\r\nP 0 0\r\nP 0 0\r\n"), "0\r\n11\r\n11\r\n0\r\n");

    faults = {};
    faults.silentAfterBytes = 5;
    rom.SetFaults(faults);
    EXPECT_EQ(rom.Receive("J\r\nJ\r\n"), "0\r\n42\r\n") << "silent from the sixth byte";
    EXPECT_TRUE(rom.Silent());
    rom.SetFaults({});
    rom.Reset();
    rom.Receive("?Synchronized\r\n14746\r\nA 0\r\nU 23130\r\n");
    EXPECT_EQ(rom.Receive("G 1024 T\r\n"), "0\r\n");
    EXPECT_TRUE(rom.Started());
    EXPECT_EQ(rom.StartAddress(), 1024u);
    EXPECT_EQ(rom.Receive("J\r\n?"), "") << "user code runs: the ROM hears nothing";
    EXPECT_EQ(rom.Commands().back(), "G 1024 T");
}

TEST(LpcIspPty, PacesBothDirectionsAndSurvivesTheHostReopening)
{
    Sim::LpcIspPty line;
    std::string error;
    ASSERT_TRUE(line.Start(error)) << error;
    line.SetPacing(9600);  // 960 characters a second
    std::vector<std::string> events;
    std::mutex eventsLock;
    line.SetEvents([&](const std::string& e) {
        std::lock_guard lock(eventsLock);
        events.push_back(e);
    });
    // Each exchange opens the port afresh, as the recovery sequences do.
    auto talk = [&](const std::string& text, size_t expect) {
        int fd = open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
        fdio::writeAll(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        Bytes got = fdio::readFor(fd, expect, 10000);
        close(fd);
        return std::string(got.begin(), got.end());
    };
    auto start = std::chrono::steady_clock::now();
    std::string reply = "Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n";
    EXPECT_EQ(talk("?Synchronized\r\n14746\r\n", reply.size()), reply);
    // 22 characters in and 42 out at 960 a second, the two overlapping: at least 44 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_TRUE(line.With([](LpcIspRom& rom) { return rom.Synchronized(); }));
    line.SetPacing(0);
    EXPECT_EQ(talk("A 0\r\nU 23130\r\nG 256 A\r\n", 14), "A 0\r\n0\r\n0\r\n0\r\n");
    line.Stop();
    std::lock_guard lock(eventsLock);
    EXPECT_EQ(events, std::vector<std::string>{"started 0x00000100"});
}
