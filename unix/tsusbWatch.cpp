// The hot-plug watch: one callback registered with the shared context for the
// modules' vendor id, and a thread that lets libusb deliver its events.
#include "unix/tsusbWatch.h"

#include <atomic>
#include <new>
#include <thread>

#include "unix/tsusbInternal.h"

namespace {

constexpr uint32_t tsusbWATCH_CHECK = 0xDEAD0B5E;
// How long the event thread waits in libusb before it looks at its stop flag.
constexpr long tsusbWATCH_EVENT_WAIT_US = 100000;

}  // namespace

struct tsusbWatch {
    uint32_t check;
    libusb_context* context;
    libusb_hotplug_callback_handle callback;
    tsusbChanged changed;
    void* ref;
    std::atomic<bool> stopping;
    std::thread events;
};

namespace {

int LIBUSB_CALL _hotplug_event(libusb_context*, libusb_device*, libusb_hotplug_event event, void* ref)
{
    auto* watch = static_cast<tsusbWatch*>(ref);
    watch->changed(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, watch->ref);
    return 0;  // stay registered
}

void _deliver_events(tsusbWatch* watch)
{
    while (!watch->stopping.load()) {
        timeval wait{0, tsusbWATCH_EVENT_WAIT_US};
        libusb_handle_events_timeout_completed(watch->context, &wait, nullptr);
    }
}

tsusbWatch* _valid(tsusbWatchRef watch)
{
    return (watch && watch->check == tsusbWATCH_CHECK) ? watch : nullptr;
}

}  // namespace

bool tsusb_watch_available()
{
    return libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
}

tsusbWatchRef tsusb_watch_start(tsusbChanged changed, void* ref)
{
    if (!changed || !tsusb_watch_available())
        return nullptr;
    libusb_context* context = tsusb_hold_context();
    if (!context)
        return nullptr;
    auto* watch = new (std::nothrow) tsusbWatch{};
    if (!watch) {
        tsusb_release_context();
        return nullptr;
    }
    watch->context = context;
    watch->changed = changed;
    watch->ref = ref;
    const int events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (libusb_hotplug_register_callback(context, events, LIBUSB_HOTPLUG_NO_FLAGS, TSUSB_VENDOR_ID,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, _hotplug_event, watch,
                                         &watch->callback) != LIBUSB_SUCCESS) {
        delete watch;
        tsusb_release_context();
        return nullptr;
    }
    watch->check = tsusbWATCH_CHECK;
    watch->events = std::thread(_deliver_events, watch);
    return watch;
}

aErr tsusb_watch_stop(tsusbWatchRef* watchRef)
{
    tsusbWatch* watch = watchRef ? _valid(*watchRef) : nullptr;
    if (!watch)
        return aErrParam;
    // Deregistering wakes a thread waiting in libusb, so the stop is seen at once.
    watch->stopping = true;
    libusb_hotplug_deregister_callback(watch->context, watch->callback);
    watch->events.join();
    watch->check = 0;
    delete watch;
    tsusb_release_context();
    *watchRef = nullptr;
    return aErrNone;
}
