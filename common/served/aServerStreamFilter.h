#pragma once
// The module server's stream filter, installed as the device link's user
// packet filter: stream samples do not reach the link's inbound queue (where
// the sync worker would take them for answers) but are gathered and sent to
// the broker as one frame at the module's next heartbeat, or sooner when about
// 4 KB have gathered.
#include <cstdint>

#include "common/aPacket.h"

// Runs on the device link's reader thread; ref is the aServer. Non-zero when
// the packet was taken.
uint8_t _streamingPacketFilter(const aPacket* packet, const void* ref);
