// The libusb context that the whole process shares: USB discovery, the USB
// streams and the recovery flows all work in it.
#include <mutex>

#include "unix/tsusb.h"

namespace {

std::mutex libusbContextLock;
libusb_context* libusbContext = nullptr;

}  // namespace

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
    if (libusbContext)
        libusb_exit(libusbContext);
    libusbContext = nullptr;
}
