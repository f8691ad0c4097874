#pragma once
// Packet queues shared between threads, reached through numeric handles.
// A put stores a copy; every packet handed out is a fresh copy that the caller destroys
// with aPacket_Destroy. Waits use a condition variable with a steady-clock deadline.

#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"
#include "unix/aError.h"

typedef uint64_t aPacketFifoHandle;  // never 0

// Non-zero when the packet matches. Runs with the FIFO locked: it must not call
// operations on the same FIFO.
typedef uint8_t (*aPacketFilterProc)(const aPacket* packet, const void* ref);

// Capacity: a put that would make the queue longer than this empties it.
constexpr size_t aPACKETFIFO_CAPACITY = 1000;

aPacketFifoHandle aPacketFifo_Create();
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);
// A put that wakes no waiter: for a producer that has the queue taken care of otherwise
// (waiters still see the packet at their next look or time-out).
aErr aPacketFifo_PutQuietly(aPacketFifoHandle handle, const aPacket* packet);
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, uint32_t timeoutMs);
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref);
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref, uint32_t timeoutMs);
// Waits up to timeoutMs until the queue holds a packet, taking none: true if it does.
// aPacketFifo_Wake ends the waits under way early.
bool aPacketFifo_AwaitNotEmpty(aPacketFifoHandle handle, uint32_t timeoutMs);
aErr aPacketFifo_Wake(aPacketFifoHandle handle);
size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilterProc proc, const void* ref);
size_t aPacketFifo_GetLength(aPacketFifoHandle handle);
