// The driver's service through the service control manager. Each function
// opens its own handles, closes them before it returns, and reports every
// service-manager call through an optional log function.
#pragma once

#include "driversetup/driver_package.h"

#include <windows.h>

#include <string>

namespace Orvane {

/// Starts the service; "already running" counts as success.
DWORD StartDriverService(const std::wstring& name, WideLogFn log);

/// Repairs a missing "Type" value, then sends the stop control; "already
/// stopped" counts as success. A driver that cannot unload answers
/// ERROR_INVALID_SERVICE_CONTROL.
DWORD StopDriverService(const std::wstring& name, WideLogFn log);

/// Deletes the service, waiting up to 10 seconds while it is marked for
/// deletion; ERROR_SERVICE_DOES_NOT_EXIST once it has gone.
DWORD DeleteDriverService(const std::wstring& name, WideLogFn log);

/// The service's current state, 0 when it does not exist or cannot be
/// queried; the thread's last error tells which (0 on success).
DWORD QueryServiceState(const std::wstring& name);

/// "not installed", "stopped", "starting", "stopping", "running",
/// "continuing", "pausing", "paused"; empty for any other state.
const char* ServiceStateName(DWORD state);

} // namespace Orvane
