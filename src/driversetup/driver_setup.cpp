#include "driversetup/driver_setup.h"

#include "common/paths.h"
#include "driversetup/redirection_scope.h"
#include "driversetup/versions.h"

#include <filesystem>
#include <utility>

namespace fs = std::filesystem;

namespace Orvane {

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
    if (!qv::PathExists(package.InfPath) || !qv::PathExists(package.SysPath) ||
        !qv::PathExists(package.CatPath))
        return false;
    return !package.InstallSection.empty() && !package.UninstallSection.empty();
}

std::wstring InstalledImagePath(const DriverPackage& package)
{
    const fs::path image = fs::path(qv::QuerySystemFolder(::GetSystemDirectoryW)) / L"drivers" /
                           fs::path(package.SysPath).filename();
    return image.wstring();
}

std::wstring InfDirectory(const DriverPackage& package)
{
    return fs::path(package.InfPath).parent_path().wstring();
}

} // namespace Orvane
