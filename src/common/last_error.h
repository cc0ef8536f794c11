// How a failed Windows call becomes a code: its thread's last error, or a
// fallback when the call failed without setting one, so that a failure
// never reads as success (0).
//
// Failures in common/: codes as values; a handle or function that is null
// with the thread's last error set (system_library.h); text conversions and
// the shell's missing path functions throw std::runtime_error.
#pragma once

#include <windows.h>

namespace qv {

/// The thread's last error, or `fallback` when it is 0.
inline DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

} // namespace qv
