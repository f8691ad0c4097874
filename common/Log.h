#pragma once
// Developer debug log: messages are written when their package is 0 or one of
// its bits is switched on ("-X").
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

// Package bits a caller passes to Log::log.
enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010,  // listed as "DEBUG_Network" in the usage text; unused
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    static uint32_t package_bitmask;
    static FILE* fh;
    // Written by transfers that run side by side, so atomic.
    static std::atomic<bool> timestamped;
    static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
    static constexpr const char* SEPARATOR = " | ";
    // Longest message written by one call; longer ones are cut.
    static constexpr size_t MESSAGE_MAX = 2047;

    // Writes the formatted text as it is (callers supply their line ends).
    static void log(unsigned package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* output);
    // The bytes as printable text for byte dumps: CR and LF as \r and \n, other
    // control and non-ASCII bytes as \xHH.
    static std::string Visible(const void* bytes, size_t length);
    static void ActivatePackage(unsigned bits);
    // Messages logged on the calling thread are also written to `copy` (null:
    // no more), whatever the mask holds for DEBUG_Updater: one module's own log
    // while several are updated side by side.
    static void CopyThisThread(FILE* copy);
    static void DeactivatePackage(unsigned bits);
};
