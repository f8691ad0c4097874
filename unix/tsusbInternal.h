#pragma once
// Pieces shared by the files of the USB layer; not for its users.
#include <cstddef>

#include "unix/tsusb.h"

// The shared context with one more hold on it (null when libusb cannot be
// initialised), and the release of one hold. A held context is never exited.
libusb_context* tsusb_hold_context();
void tsusb_release_context();
// Closes a handle that a walk handed over and drops its hold.
void tsusb_close_handle(libusb_device_handle* handle);

// Counts one transport failure: the first TSUSB_ABSORBED_FAILURES in a row
// give `absorbed`, the next one fails the record; a failed record gives aErrIO.
aErr tsusb_count_failure(USBDevice* device, aErr absorbed);

// Reads the serial-number string of an opened device as ASCII into a zeroed
// buffer; the number of characters, or a negative libusb error.
int tsusb_read_serial_text(libusb_device_handle* handle, char* text, size_t size);

// Opens every module of the shared context in list order and calls visit with
// its handle until visit returns false; visit keeps a handle by taking it
// (setting *handle to null; the handle then holds the context until
// tsusb_close_handle), else the handle is closed. Sets *refused when a
// module could not be opened for lack of permission. aErrNotFound when the
// context or its device list is unavailable.
typedef bool (*tsusbVisit)(libusb_device_handle** handle, const libusb_device_descriptor* descriptor, void* ref);
aErr tsusb_visit_modules(tsusbVisit visit, void* ref, bool* refused);

// Trace output of the USB layer (only when tsusbTraceEnable is set).
void tsusb_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Kernel-driver node mode (tsusbKernel.cpp).
aErr tsusb_open_kernel_device(USBDevice* device, const char* serial);
aErr tsusb_read_kernel_device(USBDevice* device, uint8_t* byte);
aErr tsusb_close_kernel_device(USBDevice* device);
aErr tsusb_wait_kernel_device(USBDevice* device, uint32_t timeoutMs);
