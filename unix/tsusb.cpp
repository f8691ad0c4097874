// The USB record's life cycle and the libusb mode: open by serial number on the
// vendor interface, chunked bulk writes, buffered bulk reads, halt clearing and
// the consecutive-failure count.
#include <cstring>
#include <new>

#include "unix/tsusbInternal.h"

namespace {

bool _valid_mode(const USBDevice* device)
{
    return device->mode == tsusbModeKernel || device->mode == tsusbModeLibusb;
}

struct Search {
    const char* serial;
    libusb_device_handle* found;
};

bool _match_serial(libusb_device_handle** handle, const libusb_device_descriptor*, void* ref)
{
    auto* search = static_cast<Search*>(ref);
    char text[TSUSB_SERIAL_TEXT_SIZE];
    if (tsusb_read_serial_text(*handle, text, sizeof text) < 0 || strcmp(text, search->serial) != 0)
        return true;
    search->found = *handle;
    *handle = nullptr;
    return false;
}

// Notes the vendor interface and its bulk (or interrupt) endpoints; later
// matches replace earlier ones. Endpoints that report no packet size are
// unusable and ignored.
void _find_endpoints(USBDevice* device, const libusb_config_descriptor* config)
{
    libusb_device* usb = libusb_get_device(device->handle);
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != TSUSB_INTERFACE_CLASS ||
                setting.bInterfaceSubClass != TSUSB_INTERFACE_SUBCLASS ||
                setting.bInterfaceProtocol != TSUSB_INTERFACE_PROTOCOL || setting.bNumEndpoints == 0)
                continue;
            device->interfaceNumber = setting.bInterfaceNumber;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if (!(endpoint.bmAttributes & 0x02))
                    continue;
                int maxPacket = libusb_get_max_packet_size(usb, endpoint.bEndpointAddress);
                if (maxPacket <= 0)
                    maxPacket = endpoint.wMaxPacketSize & 0x7FF;
                if (maxPacket <= 0)
                    continue;
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    device->inEndpoint = endpoint.bEndpointAddress;
                    device->inMaxPacket = static_cast<uint16_t>(maxPacket);
                    tsusb_trace("In Endpoint Max packet: %d\n", maxPacket);
                } else {
                    device->outEndpoint = endpoint.bEndpointAddress;
                    device->outMaxPacket = static_cast<uint16_t>(maxPacket);
                    tsusb_trace("Out Endpoint Max packet: %d\n", maxPacket);
                }
            }
        }
    }
}

aErr _claim_error(int result)
{
    switch (result) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

// Steps after the device was opened: endpoints, then the claim.
aErr _configure(USBDevice* device)
{
    libusb_device* usb = libusb_get_device(device->handle);
    libusb_device_descriptor descriptor;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_device_descriptor(usb, &descriptor) != LIBUSB_SUCCESS ||
        libusb_get_config_descriptor(usb, 0, &config) != LIBUSB_SUCCESS || !config)
        return aErrConfiguration;
    device->inEndpoint = device->outEndpoint = 0;
    _find_endpoints(device, config);
    libusb_free_config_descriptor(config);
    if (!device->inEndpoint || !device->outEndpoint)
        return aErrConfiguration;
    int claimed = libusb_claim_interface(device->handle, device->interfaceNumber);
    return claimed == LIBUSB_SUCCESS ? aErrNone : _claim_error(claimed);
}

aErr _open_libusb(USBDevice* device, const char* serial)
{
    if (device->state != tsusbStateCreated)
        return aErrResource;
    Search search{serial, nullptr};
    bool refused = false;
    aErr listed = tsusb_visit_modules(_match_serial, &search, &refused);
    if (listed != aErrNone)
        return listed;
    if (!search.found)
        return refused ? aErrPermission : aErrNotFound;
    strncpy(device->serial, serial, TSUSB_SERIAL_TEXT_SIZE - 1);
    device->handle = search.found;
    device->state = tsusbStateOpening;
    aErr configured = _configure(device);
    if (configured != aErrNone) {
        device->state = tsusbStateClosed;
        tsusb_close_handle(device->handle);
        device->handle = nullptr;
        return configured;
    }
    device->failureCount = 0;
    device->state = tsusbStateOpen;
    return aErrNone;
}

// Results of the states in which no transfer is made; aErrNone for open.
aErr _state_result(USBDevice* device, bool* counted)
{
    *counted = false;
    switch (device->state.load()) {
    case tsusbStateOpen:
        return aErrNone;
    case tsusbStateCreated:
    case tsusbStateOpening:
        return aErrNotReady;
    case tsusbStateClosed:
        return aErrConnection;
    default:
        *counted = true;
        return aErrIO;
    }
}

// One chunk: the OUT max packet, but never exactly 512 bytes.
uint32_t _chunk_size(const USBDevice* device, uint32_t remaining)
{
    uint32_t chunk = remaining < device->outMaxPacket ? remaining : device->outMaxPacket;
    return chunk == 512 ? 511 : chunk;
}

aErr _write_libusb(USBDevice* device, const uint8_t* data, uint32_t length)
{
    bool counted;
    aErr state = _state_result(device, &counted);
    if (counted)
        return tsusb_count_failure(device, aErrNone);
    if (state != aErrNone) {
        device->failureCount = 0;
        return state;
    }
    if (length == 0) {
        device->failureCount = 0;
        return aErrNone;
    }
    uint32_t sent = 0;
    unsigned errors = 0;
    bool clearFailed = false;
    while (sent < length && errors < TSUSB_WRITE_ERROR_LIMIT) {
        int transferred = 0;
        uint32_t chunk = _chunk_size(device, length - sent);
        int result = libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent),
                                          static_cast<int>(chunk), &transferred, TSUSB_WRITE_TIMEOUT_MS);
        tsusb_trace("libusb lenSent: %d - nSize: %u\n", transferred, chunk);
        // Bytes that went out before a time-out or a stall are not sent again:
        // the module has them already.
        if (transferred > 0)
            sent += static_cast<uint32_t>(transferred) < chunk ? static_cast<uint32_t>(transferred) : chunk;
        if (result == LIBUSB_SUCCESS)
            continue;
        ++errors;
        tsusb_trace("libusb error: %d\n", result);
        if (result == LIBUSB_ERROR_PIPE) {
            int cleared = libusb_clear_halt(device->handle, device->outEndpoint);
            if (cleared != LIBUSB_SUCCESS) {
                tsusb_trace("libusb WRITE error clearing halt: %d\n", cleared);
                clearFailed = true;
            }
        }
        if (result == LIBUSB_ERROR_NO_DEVICE)
            break;
    }
    if (sent < length) {
        device->failureCount = 0;
        return aErrWrite;
    }
    if (clearFailed)
        return tsusb_count_failure(device, aErrNone);
    device->failureCount = 0;
    return aErrNone;
}

// Hands out the next buffered byte, if any.
bool _take_buffered(USBDevice* device, uint8_t* byte)
{
    if (device->available == 0)
        return false;
    *byte = *device->readPointer++;
    --device->available;
    return true;
}

aErr _read_libusb(USBDevice* device, uint8_t* byte)
{
    if (_take_buffered(device, byte))
        return aErrNone;
    bool counted;
    aErr state = _state_result(device, &counted);
    if (counted)
        return tsusb_count_failure(device, aErrNotReady);
    if (state != aErrNone) {
        device->failureCount = 0;
        return state;
    }
    int received = 0;
    int result = libusb_bulk_transfer(device->handle, device->inEndpoint, device->readBuffer, TSUSB_READ_BUFFER_SIZE,
                                      &received, TSUSB_READ_TIMEOUT_MS);
    if (result == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->inEndpoint);
    } else if (result != LIBUSB_SUCCESS && result != LIBUSB_ERROR_TIMEOUT) {
        tsusb_trace("libusb READ error bulk transfer: %d\n", result);
        return tsusb_count_failure(device, aErrNotReady);
    }
    device->failureCount = 0;
    if (received <= 0 || result == LIBUSB_ERROR_PIPE)
        return aErrNotReady;
    device->available = static_cast<uint32_t>(received);
    device->readPointer = device->readBuffer;
    _take_buffered(device, byte);
    return aErrNone;
}

aErr _close_libusb(USBDevice* device)
{
    if (!device->handle)
        return aErrMode;
    libusb_release_interface(device->handle, device->interfaceNumber);
    tsusb_close_handle(device->handle);
    device->handle = nullptr;
    device->state = tsusbStateClosed;
    device->inEndpoint = 0;
    device->interfaceNumber = 0;
    return aErrNone;
}

}  // namespace

aErr tsusb_count_failure(USBDevice* device, aErr absorbed)
{
    if (device->state == tsusbStateFailed)
        return aErrIO;
    uint8_t before = device->failureCount.fetch_add(1);
    if (before < TSUSB_ABSORBED_FAILURES)
        return absorbed;
    device->state = tsusbStateFailed;
    return aErrIO;
}

USBDevice* tsusb_create_usb(bool useLibusb)
{
    if (useLibusb && !Tessarine_libusb_context())
        return nullptr;
    auto* device = new (std::nothrow) USBDevice{};
    if (!device)
        return nullptr;
    device->mode = useLibusb ? tsusbModeLibusb : tsusbModeKernel;
    device->descriptor = -1;
    device->state = tsusbStateCreated;
    device->readPointer = device->readBuffer;
    return device;
}

aErr tsusb_open_tessarine_device(USBDevice* device, const char* serial)
{
    if (!device || !serial)
        return aErrParam;
    if (device->mode == tsusbModeLibusb)
        return _open_libusb(device, serial);
    if (device->mode == tsusbModeKernel)
        return tsusb_open_kernel_device(device, serial);
    return aErrMode;
}

aErr tsusb_write_to_device(USBDevice* device, const uint8_t* data, uint32_t length)
{
    if (!device || (!data && length))
        return aErrParam;
    if (device->mode == tsusbModeLibusb)
        return _write_libusb(device, data, length);
    if (device->mode == tsusbModeKernel)
        return tsusb_write_to_kernel_device(device, data, length);
    return aErrMode;
}

aErr tsusb_get_from_device(USBDevice* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    if (device->mode == tsusbModeLibusb)
        return _read_libusb(device, byte);
    if (device->mode == tsusbModeKernel)
        return tsusb_read_kernel_device(device, byte);
    return aErrMode;
}

aErr tsusb_close_tessarine_device(USBDevice* device)
{
    if (!device)
        return aErrParam;
    if (device->mode == tsusbModeLibusb)
        return _close_libusb(device);
    if (device->mode == tsusbModeKernel)
        return tsusb_close_kernel_device(device);
    return aErrMode;
}

aErr tsusb_wait_for_data(USBDevice* device, uint32_t timeoutMs)
{
    if (!device)
        return aErrParam;
    if (device->mode == tsusbModeKernel)
        return tsusb_wait_kernel_device(device, timeoutMs);
    return aErrNone;
}

aErr tsusb_destroy(USBDevice** device)
{
    if (!device || !*device)
        return aErrParam;
    if ((*device)->handle)
        tsusb_close_handle((*device)->handle);
    if ((*device)->descriptor >= 0 && _valid_mode(*device))
        tsusb_close_kernel_device(*device);
    delete *device;
    *device = nullptr;
    return aErrNone;
}
