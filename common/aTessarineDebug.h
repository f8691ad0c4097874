#pragma once
// The device library's own trace output. Both switches are off at start and
// nothing in the program turns them on; when on, trace lines go to standard
// output.
#include <cstdint>

extern bool aTessarineDebuggingEnable;
extern uint32_t aTessarineDebuggingLevel;

// Trace areas of aTessarineDebuggingLevel.
enum : uint32_t {
    aDEBUG_NETWORK_SPEC = 0x02,
    aDEBUG_SERVER = 0x04,
    aDEBUG_INTERFACE = 0x10,
    aDEBUG_CLIENT = 0x20,
};

// Writes a trace line when tracing is on for one of the area bits.
void aTessarine_Trace(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));
