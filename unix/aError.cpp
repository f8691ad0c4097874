#include "unix/aError.h"

#include <cerrno>

namespace {

constexpr const char* ERROR_TEXT[] = {
    "aErrNone",           "aErrMemory",        "aErrParam",      "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",          "aErrIO",         "aErrMode",
    "aErrWrite",          "aErrRead",          "aErrEOF",        "aErrNotReady",
    "aErrPermission",     "aErrRange",         "aErrSize",       "aErrOverrun",
    "aErrParse",          "aErrConfiguration", "aErrTimeout",    "aErrInitialization",
    "aErrVersion",        "aErrUnimplemented", "aErrDuplicate",  "aErrCancel",
    "aErrPacket",         "aErrConnection",    "aErrIndexRange", "aErrShortCommand",
    "aErrInvalidEntity",  "aErrInvalidOption", "aErrResource",   "aErrMedia",
    "aErrAsyncReturn",    "aErrStreamStale",   "aErrUnknown",
};

constexpr const char* ERROR_DESCRIPTION[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tessarine command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(ERROR_TEXT) / sizeof(ERROR_TEXT[0]) == aErrUnknown + 1);
static_assert(sizeof(ERROR_DESCRIPTION) / sizeof(ERROR_DESCRIPTION[0]) == aErrUnknown + 1);

}  // namespace

const char* aError_GetErrorText(aErr error)
{
    return ERROR_TEXT[error > aErrUnknown ? aErrUnknown : error];
}

const char* aError_GetErrorDescription(aErr error)
{
    return ERROR_DESCRIPTION[error > aErrUnknown ? aErrUnknown : error];
}

aErr aError_FromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
