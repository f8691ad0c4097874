#pragma once
// The module server's stream filter, installed as the device link's user
// packet filter: stream samples do not reach the link's inbound queue (where
// the sync worker would take them for answers) but are gathered and sent to
// the broker as one frame at the module's next heartbeat, or sooner when about
// 4 KB have gathered.
#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"
#include "common/served/aZmqPair.h"

constexpr size_t aSERVER_STREAM_BUFFER = 4096;
// A buffer fuller than this is sent before another record could overflow it.
constexpr size_t aSERVER_STREAM_FLUSH = aSERVER_STREAM_BUFFER - 31;

// The filter's part of the server.
struct aServerSamples {
    // Bound end: the broker's. Connected end: whichever thread reads the device link (its
    // reader, or the broker awaiting an answer) through the filter, under the link's read
    // lock.
    aZmqPair pair;
    // Samples waiting for the next heartbeat.
    uint8_t buffer[aSERVER_STREAM_BUFFER];
    uint16_t fill = 0;
};

// Runs on the device link's reader thread; ref is the aServerSamples. Non-zero when
// the packet was taken.
uint8_t _streamingPacketFilter(const aPacket* packet, const void* ref);
