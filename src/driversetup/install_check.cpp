// Whether the installed driver must be installed or updated.
#include "driversetup/driver_setup.h"

#include "common/paths.h"
#include "driversetup/log_line.h"
#include "driversetup/service_control.h"
#include "driversetup/versions.h"


namespace Orvane {

namespace {

constexpr unsigned long long kNoSize = ~0ULL;

/// The file's size, following links; all ones when it cannot be read.
unsigned long long FileSize(const std::wstring& path)
{
    unsigned long long size = 0;
    return qv::QueryFileSize(path, size) ? size : kNoSize;
}

/// The low 32 bits of a size, 0 for one that could not be read. Required:
/// keep the size cut to 32 bits.
unsigned SizeText(unsigned long long size)
{
    return size == kNoSize ? 0u : static_cast<unsigned>(size & 0xFFFFFFFFu);
}

} // namespace

bool DriverSetup::IsOutOfDate(const DriverPackage& package)
{
    if (!IsPackageComplete(package))
        return false;
    if (QueryServiceState(package.Name) == 0) {
        LogLine(Log, L"%s is not installed\n", package.Name.c_str());
        return true;
    }
    if (!VerifyServiceRegistry(package)) {
        LogLine(Log, L"%s registry entries are damaged\n", package.Name.c_str());
        return true;
    }

    const std::wstring installed = InstalledImagePath(package);
    const unsigned long long installedSize = FileSize(installed);
    const unsigned long long packageSize = FileSize(package.SysPath);
    if (installedSize != kNoSize && installedSize == packageSize) {
        VersionQuad installedVersion;
        VersionQuad packageVersion;
        GetFileVersion(installed, installedVersion);
        GetFileVersion(package.SysPath, packageVersion);
        const bool outOfDate = installedVersion != packageVersion;
        LogLine(Log, outOfDate ? L"%s is out-of-date:\n" : L"%s is up-to-date:\n",
                package.Name.c_str());
        LogLine(Log, L"  \"%s\" [%hs]\n", installed.c_str(), FormatVersion(installedVersion).c_str());
        LogLine(Log, L"  \"%s\" [%hs]\n", package.SysPath.c_str(),
                FormatVersion(packageVersion).c_str());
        return outOfDate;
    }
    LogLine(Log, L"%s is out-of-date:\n", package.Name.c_str());
    LogLine(Log, L"  \"%s\" %u bytes\n", installed.c_str(), SizeText(installedSize));
    LogLine(Log, L"  \"%s\" %u bytes\n", package.SysPath.c_str(), SizeText(packageSize));
    return true;
}

} // namespace Orvane
