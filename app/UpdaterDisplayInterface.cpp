#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

void UpdaterDisplayInterface::message(Level level, const char* format, ...)
{
    if (mute || !format)
        return;
    char text[MESSAGE_MAX + 1];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (level == LEVEL_ERROR)
        error_message(text);
    else if (level == LEVEL_WARNING)
        warning_message(text);
    else
        info_message(text);
}

void UpdaterDisplayInterface::mute_messages(bool muted)
{
    mute = muted;
}
