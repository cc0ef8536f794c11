// The service's registry values "Type", "Start", "ErrorControl" and
// "ImagePath" under HKLM\SYSTEM\CurrentControlSet\Services\<name>, always
// in the 64-bit registry view.
#pragma once

#include "driversetup/driver_package.h"

#include <string>

namespace Orvane {

/// Rewrites a missing or invalid "Start" (to 1) or "ErrorControl" (to 1),
/// creating the key when there is none.
void RepairServiceStartValues(const std::wstring& name, WideLogFn log);

/// Rewrites a missing or non-DWORD "Type" with the type the service manager
/// reports for the service, or 1 (kernel driver) when it cannot tell.
void RepairServiceType(const std::wstring& name, WideLogFn log);

/// The service key's path below HKEY_LOCAL_MACHINE.
std::wstring ServiceKeyPath(const std::wstring& name);

} // namespace Orvane
