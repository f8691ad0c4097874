// The USB tests need libumockdev-preload from the process start: restart
// under it before anything else runs.
#include <sys/prctl.h>

#include "sim/usb/UsbEmulation.h"

namespace {

__attribute__((constructor)) void _under_preload()
{
    usbemu::reexecUnderPreload();
    // The preload sleeps after each emulated ioctl; a fine timer slack keeps
    // that sleep short.
    prctl(PR_SET_TIMERSLACK, 1);
}

}  // namespace
