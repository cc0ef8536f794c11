// The install and uninstall procedure.
#include "driversetup/driver_setup.h"

#include "common/unique_handle.h"
#include "driversetup/log_line.h"
#include "driversetup/redirection_scope.h"
#include "driversetup/service_control.h"
#include "driversetup/service_registry.h"
#include "driversetup/versions.h"
#include "fileops/delete_file.h"

#include <winternl.h>

#include <filesystem>

namespace Orvane {

namespace {

constexpr ULONGLONG kReleaseTimeoutMs = 5000;
constexpr DWORD kPollMs = 500;
constexpr ULONG kSystemCodeIntegrityInformation = 103;
constexpr ULONG kCodeIntegrityHvciKmciEnabled = 0x400;

struct CodeIntegrityInformation {
    ULONG Length;
    ULONG CodeIntegrityOptions;
};

/// Whether memory integrity (hypervisor-enforced kernel-mode code
/// integrity) is on.
bool IsMemoryIntegrityOn()
{
    CodeIntegrityInformation info = {sizeof(info), 0};
    ULONG returned = 0;
    const NTSTATUS status = ::NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kSystemCodeIntegrityInformation), &info, sizeof(info),
        &returned);
    return status == 0 && (info.CodeIntegrityOptions & kCodeIntegrityHvciKmciEnabled) != 0;
}

/// Asks the driver to stop until it stops or refuses for good, within the
/// deadline. ERROR_SERVICE_DOES_NOT_EXIST counts as stopped. Returns the last
/// result.
DWORD StopUntil(const std::wstring& name, WideLogFn log, ULONGLONG deadline)
{
    DWORD result = 0;
    while (::GetTickCount64() < deadline) {
        result = StopDriverService(name, log);
        if (result == ERROR_SERVICE_DOES_NOT_EXIST)
            result = 0;
        if (result != ERROR_INVALID_SERVICE_CONTROL)
            break;
        ::Sleep(kPollMs);
    }
    return result;
}

/// Waits, within the deadline, until the installed image can be opened for
/// writing. Returns 0, the error that ended the wait, or
/// ERROR_SHARING_VIOLATION at the deadline.
DWORD ProbeUntil(const std::wstring& image, WideLogFn log, ULONGLONG deadline)
{
    DWORD result = 0;
    while (::GetTickCount64() < deadline) {
        qv::unique_file file(::CreateFileW(image.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
        if (file) {
            file.reset();
            // Required: 0x%x here, 0x%lx in the failure line below; keep both.
            LogLine(log, L"Probe(\"%s\") = 0x%x\n", image.c_str(), 0u);
            return 0;
        }
        result = qv::LastErrorOr(ERROR_INVALID_HANDLE);
        LogLine(log, L"Probe(\"%s\") = 0x%lx\n", image.c_str(), result);
        if (result != ERROR_SHARING_VIOLATION)
            return result;
        ::Sleep(kPollMs);
    }
    return result;
}

/// The stop phase and the release probe, sharing one 5-second deadline.
DWORD StopAndRelease(const std::wstring& name, const std::wstring& image, WideLogFn log)
{
    const ULONGLONG deadline = ::GetTickCount64() + kReleaseTimeoutMs;
    const DWORD stopped = StopUntil(name, log, deadline);
    if (stopped != 0)
        return stopped;
    if (image.empty() || ::GetTickCount64() >= deadline)
        return 0;
    return ProbeUntil(image, log, deadline);
}

/// The setup library works on paths of at most MAX_PATH characters: a
/// package folder deeper than that would have its source paths cut, and a
/// copy from them can never succeed.
bool FitsSetupLibrary(const DriverPackage& package)
{
    const std::wstring folder = InfDirectory(package);
    for (const std::wstring* file : {&package.InfPath, &package.SysPath, &package.CatPath}) {
        const size_t name = std::filesystem::path(*file).filename().wstring().size();
        if (folder.size() + 1 + name >= MAX_PATH)
            return false;
    }
    return true;
}

void LogVersionLine(WideLogFn log, const std::wstring& path, const VersionQuad& version)
{
    LogLine(log, L"  %s [%hs]\n", path.c_str(), FormatVersion(version).c_str());
}

/// The end of an install: the service must exist; starts it when asked.
DWORD CompleteInstall(const DriverPackage& package, DWORD applied, bool start, WideLogFn log)
{
    if (applied != 0)
        return applied;
    if (QueryServiceState(package.Name) == 0) {
        LogLine(log, L"%s does not exist. Install failed\n", package.Name.c_str());
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (start)
        return StartDriverService(package.Name, log);
    return 0;
}

/// The end of an uninstall: deletes the service and the installed image;
/// a failure is forced through when asked.
DWORD CompleteUninstall(const DriverPackage& package, const std::wstring& installedImage,
                        DWORD applied, bool force, WideLogFn log)
{
    DWORD result = applied;
    if (result == 0) {
        if (QueryServiceState(package.Name) == 0)
            return 0; // nothing installed: no service and no image to delete
        result = DeleteDriverService(package.Name, log);
        if (result == ERROR_SERVICE_DOES_NOT_EXIST)
            result = 0;
        DeleteFileOrDefer(installedImage, log);
        if (result == 0)
            return 0;
    }
    if (force) {
        DeleteDriverService(package.Name, log);
        DeleteFileOrDefer(installedImage, log);
        return 0;
    }
    return result;
}

} // namespace

DWORD DriverSetup::Setup(const DriverPackage& callerPackage, bool install, DWORD flags)
{
    RedirectionScope scope;
    DriverPackage package = callerPackage;
    if (!IsPackageComplete(package))
        return ERROR_FILE_NOT_FOUND;
    if (!FitsSetupLibrary(package)) {
        LogLine(Log, L"Package folder \"%s\" is too long for the setup library\n",
                InfDirectory(package).c_str());
        return ERROR_FILENAME_EXCED_RANGE;
    }

    const std::wstring installedImage = InstalledImagePath(package);
    if (install) {
        VersionQuad existing;
        if (GetFileVersion(installedImage, existing)) {
            LogLine(Log, L"%s %s:\n", L"Existing", package.Name.c_str());
            LogVersionLine(Log, installedImage, existing);
        }
    } else {
        package.SysPath = installedImage;
    }

    VersionQuad infVersion;
    VersionQuad sysVersion;
    GetInfDriverVersion(package.InfPath, infVersion);
    GetFileVersion(package.SysPath, sysVersion);
    LogLine(Log, L"%s %s:\n", install ? L"Install" : L"Uninstall", package.Name.c_str());
    LogVersionLine(Log, package.InfPath, infVersion);
    LogVersionLine(Log, package.SysPath, sysVersion);
    LogLine(Log, L"  %s\n", package.CatPath.c_str());

    const DWORD released = StopAndRelease(package.Name, installedImage, Log);
    const std::wstring infDirectory = InfDirectory(package);
    DWORD result = 0;
    if (install) {
        if (released == ERROR_INVALID_SERVICE_CONTROL) {
            LogLine(Log, L"\"%s\" is currently in use. Driver upgrade will resume later\n",
                    package.Name.c_str());
            return ERROR_DEVICE_IN_USE;
        }
        if (IsMemoryIntegrityOn()) {
            const DWORD removed =
                InstallInfSection(package.InfPath, package.UninstallSection, infDirectory);
            if (removed != 0)
                return removed;
        } else if (QueryServiceState(package.Name) != 0) {
            RepairServiceStartValues(package.Name, Log);
        }
        result = InstallInfSection(package.InfPath, package.InstallSection, infDirectory);
        result = CompleteInstall(package, result, (flags & StartFlags) != 0, Log);
    } else {
        result = InstallInfSection(package.InfPath, package.UninstallSection, infDirectory);
        result = CompleteUninstall(package, installedImage, result, (flags & ForceFlags) != 0, Log);
    }

    if (Log)
        Log(L"QueryServiceStatus(\"%s\") = \"%hs\"\n", package.Name.c_str(),
            ServiceStateName(QueryServiceState(package.Name)));
    return result;
}

} // namespace Orvane
