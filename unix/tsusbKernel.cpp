// The kernel-driver mode: the vendor's driver presents each module as the node
// "/dev/tessarine.<serial>" that is read and written byte-wise.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "unix/aFile.h"
#include "unix/aTime.h"
#include "unix/tsusbInternal.h"

bool tsusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof path, "%s%08X", TSUSB_KERNEL_NODE_PREFIX, serialNumber);
    return aFile_Exists(path);
}

aErr tsusb_open_kernel_device(USBDevice* device, const char* serial)
{
    strncpy(device->serial, serial, TSUSB_SERIAL_TEXT_SIZE - 1);
    char path[TSUSB_SERIAL_TEXT_SIZE + 32];
    snprintf(path, sizeof path, "%s%s", TSUSB_KERNEL_NODE_PREFIX, device->serial);
    // Non-blocking: a driver that has nothing to read must not hold the link's reader
    // (and with it the link's stop) for ever; the reader waits in poll instead.
    int descriptor = open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        if (errno == EBUSY)
            return aErrBusy;
        if (errno == EACCES || errno == EPERM)
            return aErrPermission;
        return aErrIO;
    }
    device->descriptor = descriptor;
    return aErrNone;
}

aErr tsusb_read_kernel_device(USBDevice* device, uint8_t* byte)
{
    if (device->descriptor < 0)
        return aErrMode;
    ssize_t got = read(device->descriptor, byte, 1);
    if (got == 1)
        return aErrNone;
    if (got == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr tsusb_write_to_kernel_device(USBDevice* device, const uint8_t* data, uint32_t length)
{
    if (!device || (!data && length))
        return aErrParam;
    if (device->mode != tsusbModeKernel || device->descriptor < 0)
        return aErrMode;
    uint32_t written = 0;
    const uint64_t start = aTime_GetMSTicks();
    for (unsigned calls = 0; written < length && calls < TSUSB_KERNEL_WRITE_CALLS; ++calls) {
        ssize_t result = write(device->descriptor, data + written, length - written);
        if (result < 0 && errno != EINTR && errno != EAGAIN)
            return aErrIO;
        if (result > 0) {
            written += static_cast<uint32_t>(result);
            continue;
        }
        // A driver that takes nothing gets until the write time-out, not for ever.
        uint64_t elapsed = aTime_GetMSTicks() - start;
        if (elapsed >= TSUSB_KERNEL_WRITE_TIMEOUT_MS)
            break;
        pollfd entry{device->descriptor, POLLOUT, 0};
        poll(&entry, 1, static_cast<int>(TSUSB_KERNEL_WRITE_TIMEOUT_MS - elapsed));
    }
    return written == length ? aErrNone : aErrIO;
}

aErr tsusb_close_kernel_device(USBDevice* device)
{
    if (device->descriptor < 0)
        return aErrNone;
    int closed = close(device->descriptor);
    device->descriptor = -1;
    device->state = tsusbStateClosed;
    return closed == 0 ? aErrNone : aErrCancel;
}

aErr tsusb_wait_kernel_device(USBDevice* device, uint32_t timeoutMs)
{
    if (device->descriptor < 0)
        return aErrNone;  // the get reports the missing node
    pollfd entry{device->descriptor, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(timeoutMs));
    return ready == 0 ? aErrTimeout : aErrNone;
}
