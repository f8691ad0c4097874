#pragma once
// Watching the USB bus for modules that arrive or leave, through libusb's
// hot-plug events where the platform has them. The watch only says that
// something changed; who is on the bus now is the next enumeration's answer
// (a hot-plug callback may not talk to the device it announces).
#include <cstdint>

#include "unix/aError.h"

typedef struct tsusbWatch* tsusbWatchRef;

// Called on the watch's own thread, once per module that arrived or left.
typedef void (*tsusbChanged)(bool arrived, void* ref);

// True when libusb can announce devices on this platform.
bool tsusb_watch_available();

// Starts a watch over the modules' vendor id; null when hot-plug events are
// not available (the caller enumerates now and then instead) or the watch
// cannot be set up. The watch holds the shared context while it runs.
tsusbWatchRef tsusb_watch_start(tsusbChanged changed, void* ref);

// Stops the watch, waits for its thread and nulls the handle; aErrParam for a
// null or unmarked record.
aErr tsusb_watch_stop(tsusbWatchRef* watchRef);
