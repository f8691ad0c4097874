#pragma once
// Millisecond clock and sleeps of the device library.
#include <cstdint>

#include "unix/aError.h"

// Milliseconds from a steady clock; only differences between two readings
// mean anything. 0 when the clock cannot be read.
uint64_t aTime_GetMSTicks();

// Sleeps ms milliseconds, in slices of at most aTIME_MAX_SLICE_US
// microseconds, resuming after signals. Always aErrNone.
aErr aTime_MSSleep(unsigned long ms);

// The platform layer's name for aTime_MSSleep.
aErr osMSSleep(unsigned long ms);

// Longest single sleep, in microseconds.
constexpr uint32_t aTIME_MAX_SLICE_US = 999999;

// The slicing of aTime_MSSleep with the sleeper supplied by the caller: calls
// sleeper(us, ref) once per slice until ms milliseconds have been handed out.
void aTime_SleepInSlices(unsigned long ms, void (*sleeper)(uint32_t us, void* ref), void* ref);
