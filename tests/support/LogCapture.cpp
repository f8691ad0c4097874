#include "support/LogCapture.h"

#include "common/Log.h"

#include <cstdlib>

LogCapture::LogCapture(uint32_t packages) : previousOutput(Log::fh), previousMask(Log::package_bitmask)
{
    stream = open_memstream(&buffer, &size);
    Log::SetOutput(stream);
    Log::package_bitmask = packages;
}

LogCapture::~LogCapture()
{
    Log::SetOutput(previousOutput);
    Log::package_bitmask = previousMask;
    if (stream)
        fclose(stream);
    free(buffer);
}

std::string LogCapture::Text()
{
    if (!stream)
        return std::string();
    fflush(stream);
    return std::string(buffer, size);
}

void LogCapture::Clear()
{
    if (stream)
        fclose(stream);
    free(buffer);
    buffer = nullptr;
    size = 0;
    stream = open_memstream(&buffer, &size);
    Log::SetOutput(stream);
}
