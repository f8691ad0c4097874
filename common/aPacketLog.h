#pragma once
// The packet debug log: a byte ring of records (direction, length, bytes). When a new
// record does not fit, the oldest records make room. Not locked: the link guards it.

#include <cstddef>
#include <cstdint>

#include "unix/aError.h"

#define aPACKETLOG_SENT 1      // packet sent to the module
#define aPACKETLOG_RECEIVED 2  // packet received from the module
#define aPACKETLOG_TEXT 3

struct aPacketLog;

// null when size is below 3 (no record fits) or memory is short.
aPacketLog* aPacketLog_Create(size_t size);
void aPacketLog_Destroy(aPacketLog** log);
// aErrOverrun for a record of at least the log's size.
aErr aPacketLog_Put(aPacketLog* log, uint8_t direction, uint8_t length, const uint8_t* bytes);
// aErrNotFound when empty. When the record is longer than *length, *length is set to its
// length and aErrOverrun returned with the record left in place.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* direction, uint8_t* length, uint8_t* buffer);
