// Finding modules on USB: the descriptor test, the serial-number string and the
// walk over the shared context's device list used by open and by discovery.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "unix/tsusbInternal.h"

bool tsusbTraceEnable = false;

void tsusb_trace(const char* format, ...)
{
    if (!tsusbTraceEnable)
        return;
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
}

bool is_tessarine_device(const libusb_device_descriptor* descriptor)
{
    return descriptor && descriptor->idVendor == TSUSB_VENDOR_ID && descriptor->idProduct < TSUSB_PRODUCT_ID_LIMIT;
}

int tsusb_read_serial_text(libusb_device_handle* handle, char* text, size_t size)
{
    memset(text, 0, size);
    libusb_device_descriptor descriptor;
    int result = libusb_get_device_descriptor(libusb_get_device(handle), &descriptor);
    if (result != LIBUSB_SUCCESS)
        return result;
    if (descriptor.iSerialNumber == 0)
        return LIBUSB_ERROR_NOT_FOUND;
    // Keep the last byte for the terminator whatever the device sends.
    result = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber,
                                                reinterpret_cast<unsigned char*>(text), static_cast<int>(size - 1));
    if (result >= 0)
        text[result] = '\0';
    return result;
}

void tsusb_close_handle(libusb_device_handle* handle)
{
    if (!handle)
        return;
    libusb_close(handle);
    tsusb_release_context();
}

aErr tsusb_visit_modules(tsusbVisit visit, void* ref, bool* refused)
{
    libusb_context* context = tsusb_hold_context();
    if (!context)
        return aErrNotFound;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count <= 0) {
        if (list)
            libusb_free_device_list(list, 1);
        tsusb_release_context();
        return aErrNotFound;
    }
    bool goOn = true;
    for (ssize_t i = 0; i < count && goOn; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS || !is_tessarine_device(&descriptor))
            continue;
        libusb_device_handle* handle = nullptr;
        int opened = libusb_open(list[i], &handle);
        if (opened != LIBUSB_SUCCESS) {
            tsusb_trace("libusb error: %d\n", opened);
            if (opened == LIBUSB_ERROR_ACCESS && refused)
                *refused = true;
            continue;
        }
        goOn = visit(&handle, &descriptor, ref);
        if (handle)
            libusb_close(handle);
        else
            tsusb_hold_context();  // for the handle visit kept
    }
    libusb_free_device_list(list, 1);
    tsusb_release_context();
    return aErrNone;
}

namespace {

struct Enumeration {
    tsusbModuleFound found;
    void* ref;
    unsigned calls;
};

// The serial number of a module's string: exactly eight upper-case
// hexadecimal digits, the form a module reports and open looks for.
bool _parse_serial(const char* text, uint32_t* serialNumber)
{
    if (strlen(text) != 8)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9')
            value = value << 4 | static_cast<uint32_t>(c - '0');
        else if (c >= 'A' && c <= 'F')
            value = value << 4 | static_cast<uint32_t>(c - 'A' + 10);
        else
            return false;
    }
    *serialNumber = value;
    return true;
}

bool _enumerate_one(libusb_device_handle** handle, const libusb_device_descriptor* descriptor, void* ref)
{
    auto* enumeration = static_cast<Enumeration*>(ref);
    char text[32];
    uint32_t serialNumber = 0;
    if (tsusb_read_serial_text(*handle, text, sizeof text) < 0 || !_parse_serial(text, &serialNumber))
        return true;
    ++enumeration->calls;
    return enumeration->found(serialNumber, descriptor->idProduct, enumeration->ref);
}

}  // namespace

unsigned tsusb_enumerate_modules(tsusbModuleFound found, void* ref)
{
    if (!found)
        return 0;
    Enumeration enumeration{found, ref, 0};
    tsusb_visit_modules(_enumerate_one, &enumeration, nullptr);
    return enumeration.calls;
}
