// The libusb context that the whole process shares: USB discovery, the USB
// streams and the recovery flows all work in it. Every open device handle and
// every walk over the device list holds the context, so that a refresh asked
// for by one update cannot pull it from under another one running beside it.
#include <mutex>

#include "unix/tsusbInternal.h"

namespace {

std::mutex libusbContextLock;
libusb_context* libusbContext = nullptr;
unsigned libusbContextHolds = 0;

}  // namespace

libusb_context* tsusb_hold_context()
{
    std::lock_guard<std::mutex> hold(libusbContextLock);
    if (!libusbContext && libusb_init(&libusbContext) != LIBUSB_SUCCESS)
        libusbContext = nullptr;
    if (libusbContext)
        ++libusbContextHolds;
    return libusbContext;
}

void tsusb_release_context()
{
    std::lock_guard<std::mutex> hold(libusbContextLock);
    if (libusbContextHolds > 0)
        --libusbContextHolds;
}

libusb_context* Tessarine_libusb_context()
{
    std::lock_guard<std::mutex> hold(libusbContextLock);
    if (!libusbContext && libusb_init(&libusbContext) != LIBUSB_SUCCESS)
        libusbContext = nullptr;
    return libusbContext;
}

libusb_context* Tessarine_libusb_init()
{
    return Tessarine_libusb_context();
}

void Tessarine_libusb_exit()
{
    std::lock_guard<std::mutex> hold(libusbContextLock);
    if (libusbContextHolds > 0)
        return;  // in use: the refresh waits for a quiet moment
    if (libusbContext)
        libusb_exit(libusbContext);
    libusbContext = nullptr;
}
