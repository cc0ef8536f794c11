// Operations of the engine that are still to be built.
#include "driversetup/driver_setup.h"

namespace Orvane {

DWORD DriverSetup::StartDriver() { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD DriverSetup::StopDriver() { return ERROR_CALL_NOT_IMPLEMENTED; }
bool DriverSetup::IsOutOfDate(const DriverPackage&) { return false; }
bool DriverSetup::VerifyServiceRegistry(const DriverPackage&) { return false; }
DWORD DriverSetup::Setup(const DriverPackage&, bool, DWORD) { return ERROR_CALL_NOT_IMPLEMENTED; }
DWORD DriverSetup::InstallInfSection(const std::wstring&, const std::wstring&, const std::wstring&)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace Orvane
