// The running Windows release and the native processor.
#pragma once

#include <windows.h>

namespace Orvane {

/// True when the running Windows is at least major.minor (any service pack).
/// Asks ntdll's RtlVerifyVersionInfo, which tells the truth whatever the
/// program's manifest says; falls back to VerifyVersionInfoW without it.
bool IsOsVersionAtLeast(WORD major, WORD minor);

/// The native processor architecture as a PROCESSOR_ARCHITECTURE_* code,
/// also from a 32-bit process on a 64-bit system; 0xFFFF when unknown.
WORD GetNativeArchitecture();

/// True on the Windows 10 builds whose update revision is older than the
/// first the current driver supports (read from the 64-bit registry view).
bool IsLegacyWindows10Build();

} // namespace Orvane
