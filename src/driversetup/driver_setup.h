// The generic engine that installs, upgrades, checks, starts, stops and
// removes one INF-packaged kernel driver without a device. A derived class
// names the driver by supplying its package through GetDriverPackage.
//
// Failures in driversetup/: Windows error codes returned as values (a failed
// call's last error, see common/last_error.h). QueryServiceState returns the
// state and leaves its code as the thread's last error, and the setup
// library's callbacks report through the last error, as the library expects.
#pragma once

#include "driversetup/driver_package.h"

#include <windows.h>

#include <string>

namespace Orvane {

class DriverSetup {
public:
    /// StartFlags is 1 and ForceFlags 2 after construction.
    DriverSetup(std::wstring driverDirectory, WideLogFn log);
    DriverSetup(const DriverSetup&) = delete;
    DriverSetup& operator=(const DriverSetup&) = delete;

    // The virtual operations, in the order of their slots. Required: keep
    // this declaration order.
    virtual ~DriverSetup();

    /// The package that fits the running platform; fetched afresh each time.
    virtual DriverPackage GetDriverPackage() = 0;

    // The tool itself never calls InstallDriver, UninstallDriver, StopDriver,
    // IsOutOfDate() or this class's own StartDriver; required, keep them.

    /// Installs or upgrades the driver; starts it when startService is true
    /// and StartFlags allows it.
    virtual DWORD InstallDriver(bool startService);

    /// Removes the driver; a failed removal is forced through when force is
    /// true and ForceFlags allows it.
    virtual DWORD UninstallDriver(bool force);

    /// Starts the driver service.
    virtual DWORD StartDriver();

    /// Stops the driver service.
    virtual DWORD StopDriver();

    /// IsOutOfDate(package): true when the driver must be installed or
    /// updated from `package`. IsOutOfDate(): the same on the package of
    /// GetDriverPackage, redirection off. Their slots come in this order; the
    /// Microsoft ABI lays out the overloads of one virtual name in reverse
    /// order of declaration, so there the pair is declared the other way round.
#if defined(_MSC_VER)
    virtual bool IsOutOfDate();
    virtual bool IsOutOfDate(const DriverPackage& package);
#else
    virtual bool IsOutOfDate(const DriverPackage& package);
    virtual bool IsOutOfDate();
#endif

    /// Verifies, and repairs where it can, the service's registry values.
    virtual bool VerifyServiceRegistry(const DriverPackage& package);

    /// The install (install = true) or uninstall procedure.
    virtual DWORD Setup(const DriverPackage& package, bool install, DWORD flags);

    /// Applies one INF section through the setup library.
    virtual DWORD InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                                    const std::wstring& sourceDirectory);

    DWORD StartFlags = 1;
    // Never passed by the tool's commands; required, keep it.
    DWORD ForceFlags = 2;
    std::wstring DriverDirectory;
    WideLogFn Log = nullptr;
};

/// True when the package names a service, its three files exist and both
/// INF sections are named.
bool IsPackageComplete(const DriverPackage& package);

/// The installed driver image: <system directory>\drivers\<file name of SysPath>.
std::wstring InstalledImagePath(const DriverPackage& package);

/// The folder that holds the package's INF: the source of its file copies.
std::wstring InfDirectory(const DriverPackage& package);

} // namespace Orvane
