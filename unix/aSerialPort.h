#pragma once
// Serial ports through POSIX terminal control: the platform half of the serial byte
// streams. The procedures match the byte-stream procedure types; ref is the port record.
// Reads never wait (VMIN 0, VTIME 0): a read with nothing there reports aErrNotReady, and
// aSerialPort_Wait blocks on the descriptor instead of polling the read.

#include <cstddef>
#include <cstdint>

#include <termios.h>

#include "unix/aError.h"

struct SerialStreamData;

// Bits per second of a baud index (0 = 2400 ... 7 = 230400); 0 for an unknown index.
uint32_t aSerialPort_BaudRate(uint32_t baudIndex);
// The baud index of a rate in bits per second, or -1 for a rate without one.
int aSerialPort_BaudIndex(uint32_t bitsPerSecond);

// Opens and configures the port: raw, CREAD|CLOCAL, even parity when asked, CS7 for
// dataBits 1 else CS8, two stop bits for stopBits 1. aErrNotFound for a missing port,
// aErrPermission without access, aErrIO for any other failure; aErrResource for bad
// arguments (selectors other than 0 or 1, an unknown baud index, null pointers).
aErr aSerialPort_Open(const char* portName, uint32_t baudIndex, bool parity, uint32_t dataBits, uint32_t stopBits,
                      SerialStreamData** out);

aErr aSerialPort_Get(uint8_t* byte, void* ref);
aErr aSerialPort_Put(const uint8_t* byte, void* ref);
// Writes all bytes, or gives up with aErrTimeout when the line has not taken them within
// aSerialPort_WriteTimeoutMs (bytes already gone stay gone); aErrIO on a failure.
aErr aSerialPort_Write(const uint8_t* bytes, size_t length, void* ref);
// Twice the line time of length bytes at the baud index, plus aSERIAL_WRITE_SLACK_MS.
constexpr uint32_t aSERIAL_WRITE_SLACK_MS = 1000;
uint32_t aSerialPort_WriteTimeoutMs(uint32_t baudIndex, size_t length);
// Restores the settings found at open, closes the port and frees the record.
aErr aSerialPort_Delete(void* ref);
// Waits up to timeoutMs for input: aErrNone when a read may find something, else aErrTimeout.
aErr aSerialPort_Wait(void* ref, uint32_t timeoutMs);
// The wait that a readable wakeFd ends as well (aErrCancel).
aErr aSerialPort_WaitOrWake(void* ref, uint32_t timeoutMs, int wakeFd);

// The active settings made from settings found at open: raw, CREAD|CLOCAL, the speed of
// baudIndex, even parity (and IGNPAR) when asked, CS7 for dataBits 1 else CS8, CSTOPB for
// stopBits 1, VMIN 0 and VTIME 0. (A pseudo-terminal keeps only some of these.)
void aSerialPort_MakeSettings(struct termios* settings, uint32_t baudIndex, bool parity, uint32_t dataBits,
                              uint32_t stopBits);

// The open descriptor (for tests that read the terminal settings back), or -1.
int aSerialPort_Descriptor(const SerialStreamData* port);
