#include "driversetup/service_control.h"

#include "common/unique_handle.h"
#include "driversetup/driver_setup.h"
#include "driversetup/log_line.h"
#include "driversetup/service_registry.h"

namespace Orvane {

namespace {

constexpr ULONGLONG kDeleteTimeoutMs = 10000;
constexpr DWORD kDeletePauseMs = 500;

const wchar_t* NotInstalledSuffix(DWORD code)
{
    return code == ERROR_SERVICE_DOES_NOT_EXIST ? L" (not installed)" : L"";
}

/// 0 when the call succeeded, else its last error (never 0).
DWORD ResultOf(BOOL succeeded) { return succeeded ? 0 : qv::LastErrorOr(ERROR_INTERNAL_ERROR); }

/// The common opening of start, stop and delete: checks the name and opens
/// the service manager, logging a failure. Returns 0 or the error.
DWORD OpenManager(const std::wstring& name, WideLogFn log, qv::unique_schandle& manager)
{
    if (name.empty())
        return ERROR_INVALID_PARAMETER;
    manager.reset(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) {
        const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        LogLine(log, L"OpenSCManager(SC_MANAGER_ENUMERATE_SERVICE) = 0x%lx\n", error);
        return error;
    }
    return 0;
}

/// One attempt of the delete loop. Returns true when the loop is over, with
/// its result in `code`; false to try again.
bool TryDeleteService(SC_HANDLE manager, const std::wstring& name, WideLogFn log, DWORD& code)
{
    qv::unique_schandle service(::OpenServiceW(manager, name.c_str(), DELETE | SERVICE_STOP));
    if (!service) {
        code = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        // Required: the line names DELETE alone; keep it so.
        LogLine(log, L"OpenService(\"%s\", DELETE) = 0x%lx%s\n", name.c_str(), code,
                NotInstalledSuffix(code));
        if (code != ERROR_SERVICE_MARKED_FOR_DELETE)
            return true;
        // Marked for deletion by another holder: give it time to let go,
        // as after a "marked for delete" answer below.
        ::Sleep(kDeletePauseMs);
        return false;
    }
    // Required: a failed DeleteService whose last error reads 0 counts as
    // success, the one exception to ResultOf; keep it so.
    const DWORD error = ::DeleteService(service.get()) ? 0 : ::GetLastError();
    if (error == 0) {
        LogLine(log, L"DeleteService(\"%s\") = 0x%lx\n", name.c_str(), 0UL);
        code = 0;
        return true;
    }
    if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
        // Required: keep the stray ")" at the end of this line.
        LogLine(log, L"DeleteService(\"%s\") = 0x%lx)\n", name.c_str(), error);
        code = error;
        return true;
    }
    code = error;
    LogLine(log, L"DeleteService(\"%s\") = 0x%lx%s\n", name.c_str(), error, L" (marked for delete)");
    SERVICE_STATUS status = {};
    const DWORD stop = ResultOf(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    LogLine(log, L"  ControlService(\"%s\", SERVICE_CONTROL_STOP) = 0x%lx, State:%hs\n", name.c_str(),
            stop, ServiceStateName(status.dwCurrentState));
    ::Sleep(kDeletePauseMs);
    return false;
}

/// Reads the service's current state; returns 0 or the first failure's
/// error. Its handles are closed when it returns.
DWORD ReadServiceState(const std::wstring& name, DWORD& state)
{
    qv::unique_schandle manager(
        ::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager)
        return qv::LastErrorOr(ERROR_INTERNAL_ERROR);
    qv::unique_schandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service)
        return qv::LastErrorOr(ERROR_INTERNAL_ERROR);
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.get(), &status))
        return qv::LastErrorOr(ERROR_INTERNAL_ERROR);
    state = status.dwCurrentState;
    return 0;
}

} // namespace

DWORD StartDriverService(const std::wstring& name, WideLogFn log)
{
    qv::unique_schandle manager;
    if (const DWORD error = OpenManager(name, log, manager))
        return error;
    qv::unique_schandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
    if (!service) {
        const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        LogLine(log, L"OpenService(\"%s\", SERVICE_START) = 0x%lx%s\n", name.c_str(), error,
                NotInstalledSuffix(error));
        return error;
    }
    const DWORD code = ResultOf(::StartServiceW(service.get(), 0, nullptr));
    LogLine(log, L"StartService(\"%s\") = 0x%lx%s\n", name.c_str(), code,
            code == ERROR_SERVICE_ALREADY_RUNNING ? L" (already running)" : L"");
    return code == ERROR_SERVICE_ALREADY_RUNNING ? 0 : code;
}

DWORD StopDriverService(const std::wstring& name, WideLogFn log)
{
    qv::unique_schandle manager;
    if (const DWORD error = OpenManager(name, log, manager))
        return error;
    qv::unique_schandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP));
    if (!service) {
        const DWORD error = qv::LastErrorOr(ERROR_INTERNAL_ERROR);
        LogLine(log, L"OpenService(\"%s\", SERVICE_STOP) = 0x%lx%s\n", name.c_str(), error,
                NotInstalledSuffix(error));
        return error;
    }
    RepairServiceType(name, log);
    SERVICE_STATUS status = {};
    const DWORD code = ResultOf(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    LogLine(log, L"ControlService(\"%s\", SERVICE_CONTROL_STOP) = 0x%lx%s\n", name.c_str(), code,
            code == ERROR_SERVICE_NOT_ACTIVE ? L" (already stopped)" : L"");
    return code == ERROR_SERVICE_NOT_ACTIVE ? 0 : code;
}

DWORD DeleteDriverService(const std::wstring& name, WideLogFn log)
{
    qv::unique_schandle manager;
    if (const DWORD error = OpenManager(name, log, manager))
        return error;
    DWORD code = ERROR_SERVICE_MARKED_FOR_DELETE;
    const ULONGLONG deadline = ::GetTickCount64() + kDeleteTimeoutMs;
    while (::GetTickCount64() < deadline) {
        if (TryDeleteService(manager.get(), name, log, code))
            return code;
    }
    LogLine(log, L"Operation timed out after %llus\n", kDeleteTimeoutMs / 1000);
    return code;
}

DWORD QueryServiceState(const std::wstring& name)
{
    DWORD state = 0;
    const DWORD error = name.empty() ? ERROR_INVALID_PARAMETER : ReadServiceState(name, state);
    ::SetLastError(error);
    return state;
}

const char* ServiceStateName(DWORD state)
{
    static const char* const kNames[] = {"not installed", "stopped",    "starting", "stopping",
                                         "running",       "continuing", "pausing",  "paused"};
    return state < sizeof(kNames) / sizeof(kNames[0]) ? kNames[state] : "";
}

DWORD DriverSetup::StartDriver()
{
    return StartDriverService(GetDriverPackage().Name, Log);
}

DWORD DriverSetup::StopDriver()
{
    return StopDriverService(GetDriverPackage().Name, Log);
}

} // namespace Orvane
