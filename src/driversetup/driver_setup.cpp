#include "driversetup/driver_setup.h"

#include "driversetup/redirection_scope.h"
#include "driversetup/versions.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace Orvane {

namespace {

/// A status query that follows links finds an object of any type.
bool PathExists(const std::wstring& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    return !error && fs::exists(status);
}

} // namespace

DriverSetup::DriverSetup(std::wstring driverDirectory, WideLogFn log)
    : DriverDirectory(std::move(driverDirectory)), Log(log)
{
}

DriverSetup::~DriverSetup() = default;

DWORD DriverSetup::InstallDriver(bool startService)
{
    RedirectionScope scope;
    return Setup(GetDriverPackage(), true, startService ? StartFlags : 0);
}

DWORD DriverSetup::UninstallDriver(bool force)
{
    RedirectionScope scope;
    return Setup(GetDriverPackage(), false, force ? ForceFlags : 0);
}

bool DriverSetup::IsOutOfDate()
{
    RedirectionScope scope;
    return IsOutOfDate(GetDriverPackage());
}

bool IsPackageComplete(const DriverPackage& package)
{
    if (package.Name.empty())
        return false;
    if (!PathExists(package.InfPath) || !PathExists(package.SysPath) ||
        !PathExists(package.CatPath))
        return false;
    return !package.InstallSection.empty() && !package.UninstallSection.empty();
}

std::wstring InstalledImagePath(const DriverPackage& package)
{
    const fs::path image = fs::path(GetSystemDirectoryPath()) / L"drivers" /
                           fs::path(package.SysPath).filename();
    return image.wstring();
}

std::wstring InfDirectory(const DriverPackage& package)
{
    return fs::path(package.InfPath).parent_path().wstring();
}

} // namespace Orvane
