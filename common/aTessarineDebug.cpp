#include "common/aTessarineDebug.h"

#include <cstdarg>
#include <cstdio>

bool aTessarineDebuggingEnable = false;
uint32_t aTessarineDebuggingLevel = 0;

void aTessarine_Trace(uint32_t area, const char* format, ...)
{
    if (!aTessarineDebuggingEnable || !(aTessarineDebuggingLevel & area))
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}
