// The hot-plug watch on the emulated bus: a module plugged in or pulled out is
// announced, soon, without an enumeration asking.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sim/usb/UsbEmulation.h"
#include "unix/tsusb.h"
#include "unix/tsusbWatch.h"

namespace {

using namespace std::chrono_literals;

struct Announcements {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned arrived = 0;
    unsigned left = 0;

    bool Await(unsigned& count, unsigned wanted)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 1s, [&] { return count >= wanted; });
    }
};

void _announce(bool arrived, void* ref)
{
    auto* seen = static_cast<Announcements*>(ref);
    std::lock_guard<std::mutex> lock(seen->mutex);
    ++(arrived ? seen->arrived : seen->left);
    seen->changed.notify_all();
}

TEST(UsbWatch, AnnouncesModulesPluggedInAndPulledOutWithinASecond)
{
    usbemu::UsbEmulation emulation;
    ASSERT_TRUE(tsusb_watch_available());
    Announcements seen;
    tsusbWatchRef watch = tsusb_watch_start(_announce, &seen);
    ASSERT_NE(watch, nullptr);

    usbemu::EmulatedUsbDevice& device = emulation.addModule(0x40F5849A, 17);
    EXPECT_TRUE(seen.Await(seen.arrived, 1));
    device.unplug();
    EXPECT_TRUE(seen.Await(seen.left, 1));
    device.replug();
    EXPECT_TRUE(seen.Await(seen.arrived, 2));

    EXPECT_EQ(tsusb_watch_stop(&watch), aErrNone);
    EXPECT_EQ(watch, nullptr);
    EXPECT_EQ(tsusb_watch_stop(&watch), aErrParam);
    Tessarine_libusb_exit();
}

}  // namespace
