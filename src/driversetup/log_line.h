// Writing one line through an optional log function.
#pragma once

#include "driversetup/driver_package.h"

/// Hands a complete line to `log`; does nothing when `log` is null.
template <class... Args>
void LogLine(WideLogFn log, const wchar_t* format, Args... args)
{
    if (log)
        log(format, args...);
}
