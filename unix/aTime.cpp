#include "unix/aTime.h"

#include <cerrno>
#include <ctime>

uint64_t aTime_GetMSTicks()
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    uint64_t ms = uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
    return ms == UINT64_MAX ? 0 : ms;
}

void aTime_SleepInSlices(unsigned long ms, void (*sleeper)(uint32_t us, void* ref), void* ref)
{
    uint64_t remaining = uint64_t(ms) * 1000;
    while (remaining > 0) {
        uint32_t slice = remaining > aTIME_MAX_SLICE_US ? aTIME_MAX_SLICE_US : uint32_t(remaining);
        sleeper(slice, ref);
        remaining -= slice;
    }
}

namespace {

void _sleep_us(uint32_t us, void*)
{
    timespec request = {time_t(us / 1000000), long(us % 1000000) * 1000};
    timespec left;
    while (nanosleep(&request, &left) != 0 && errno == EINTR)
        request = left;
}

}  // namespace

aErr aTime_MSSleep(unsigned long ms)
{
    aTime_SleepInSlices(ms, _sleep_us, nullptr);
    return aErrNone;
}

aErr osMSSleep(unsigned long ms)
{
    return aTime_MSSleep(ms);
}
