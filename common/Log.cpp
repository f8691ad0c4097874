#include "common/Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
std::atomic<bool> Log::timestamped{false};

namespace {
thread_local FILE* threadCopy = nullptr;
}

namespace {

void _write_timestamp(FILE* output)
{
    char stamp[128];
    time_t now = time(nullptr);
    tm utc;
    if (!gmtime_r(&now, &utc) || strftime(stamp, sizeof stamp, Log::TIMESTAMP_FORMAT, &utc) == 0)
        return;
    fputs(stamp, output);
    fputs(Log::SEPARATOR, output);
}

}  // namespace

void Log::log(unsigned package, const char* format, ...)
{
    const bool selected = package == 0 || (package & package_bitmask) != 0;
    FILE* copy = (selected || package == DEBUG_Updater) ? threadCopy : nullptr;
    if (!format || (!copy && (!selected || !fh)))
        return;
    // The stamp goes to the same stream as the message, so a line is never
    // split between two outputs.
    char message[MESSAGE_MAX + 1];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (selected && fh) {
        if (timestamped && strlen(format) > 10)
            _write_timestamp(fh);
        fputs(message, fh);
    }
    if (copy) {
        _write_timestamp(copy);
        fputs(message, copy);
    }
}

void Log::CopyThisThread(FILE* copy)
{
    threadCopy = copy;
}

std::string Log::Visible(const void* bytes, size_t length)
{
    std::string text;
    const auto* at = static_cast<const unsigned char*>(bytes);
    for (const auto* end = at + length; at < end; ++at) {
        if (*at == '\r')
            text += "\\r";
        else if (*at == '\n')
            text += "\\n";
        else if (*at < 32 || *at > 126) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", *at);
            text += hex;
        } else
            text += static_cast<char>(*at);
    }
    return text;
}

void Log::SetOutput(FILE* output)
{
    fh = output;
}

void Log::ActivatePackage(unsigned bits)
{
    package_bitmask |= bits;
}

void Log::DeactivatePackage(unsigned bits)
{
    package_bitmask &= ~bits;
}
