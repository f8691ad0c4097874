#pragma once
// USB access to modules: open one module by its serial number, either through
// the vendor's kernel-driver node or directly through libusb bulk transfers on
// its vendor interface, move bytes both ways and count transport failures.
#include <atomic>
#include <cstdint>

#include <libusb.h>

#include "unix/aError.h"

// USB identity of a module.
constexpr uint16_t TSUSB_VENDOR_ID = 0x24FF;
constexpr uint16_t TSUSB_PRODUCT_ID_LIMIT = 0x8000;  // ids at or above are not modules
constexpr uint8_t TSUSB_INTERFACE_CLASS = 0xFF;
constexpr uint8_t TSUSB_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t TSUSB_INTERFACE_PROTOCOL = 0x10;

// Kernel-driver node of a module: the prefix followed by the serial number
// written "%08X".
constexpr const char* TSUSB_KERNEL_NODE_PREFIX = "/dev/tessarine.";

enum tsusbMode : uint32_t {
    tsusbModeKernel = 0,
    tsusbModeLibusb = 1,
};

enum tsusbState : uint32_t {
    tsusbStateCreated = 1,
    tsusbStateClosed = 2,
    tsusbStateOpening = 3,
    tsusbStateOpen = 4,
    tsusbStateFailed = 5,
};

constexpr unsigned TSUSB_SERIAL_TEXT_SIZE = 256;
constexpr unsigned TSUSB_READ_BUFFER_SIZE = 1024;
// Consecutive transport failures that are absorbed; the next one fails the
// record for good.
constexpr unsigned TSUSB_ABSORBED_FAILURES = 4;
constexpr unsigned TSUSB_WRITE_TIMEOUT_MS = 50;
// The link's reader waits inside this read: a link that is told to
// synchronise or to stop notices only when the read returns.
constexpr unsigned TSUSB_READ_TIMEOUT_MS = 100;
constexpr unsigned TSUSB_WRITE_ERROR_LIMIT = 10;
constexpr unsigned TSUSB_KERNEL_WRITE_CALLS = 1000;
constexpr unsigned TSUSB_KERNEL_WRITE_TIMEOUT_MS = 2000;  // a node that takes nothing

// One module on USB. The link's reader thread uses the IN side, its writer
// thread the OUT side; only the state and the failure count are shared, so
// those two are atomic.
struct USBDevice {
    uint32_t mode;
    char serial[TSUSB_SERIAL_TEXT_SIZE];
    int descriptor;  // kernel node; -1 when none
    libusb_device_handle* handle;
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[TSUSB_READ_BUFFER_SIZE];
    uint32_t available;
    uint8_t* readPointer;
    std::atomic<uint8_t> failureCount;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
};

// The process-wide libusb context, created on first use; null when libusb
// cannot be initialised.
libusb_context* Tessarine_libusb_context();
libusb_context* Tessarine_libusb_init();
// Releases the context; the next use creates a fresh one. Nothing happens
// while a device handle is open or a device list is being walked.
void Tessarine_libusb_exit();

// True for the device descriptor of a module (vendor, product id range).
bool is_tessarine_device(const libusb_device_descriptor* descriptor);

// True when the kernel-driver node of the serial number exists.
bool tsusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new record in the given mode, state created; null when memory is
// exhausted or, in libusb mode, when libusb cannot be initialised.
USBDevice* tsusb_create_usb(bool useLibusb);

aErr tsusb_open_tessarine_device(USBDevice* device, const char* serial);
aErr tsusb_write_to_device(USBDevice* device, const uint8_t* data, uint32_t length);
aErr tsusb_write_to_kernel_device(USBDevice* device, const uint8_t* data, uint32_t length);
aErr tsusb_get_from_device(USBDevice* device, uint8_t* byte);
aErr tsusb_close_tessarine_device(USBDevice* device);
// Waits up to timeoutMs until a get may find a byte: aErrNone, or aErrTimeout.
// In libusb mode the get waits in its own bulk read, so this returns at once.
aErr tsusb_wait_for_data(USBDevice* device, uint32_t timeoutMs);
aErr tsusb_destroy(USBDevice** device);

// Enumeration of the modules on USB (discovery): calls found once per module
// whose serial-number string is eight upper-case hexadecimal digits, in
// device-list order, while it returns true. The result is the number of calls.
typedef bool (*tsusbModuleFound)(uint32_t serialNumber, uint16_t productId, void* ref);
unsigned tsusb_enumerate_modules(tsusbModuleFound found, void* ref);

// Developer trace of the USB layer on standard output; stays off.
extern bool tsusbTraceEnable;
