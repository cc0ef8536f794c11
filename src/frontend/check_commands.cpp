#include "frontend/commands.h"

#include "common/strconv.h"
#include "driverclient/device.h"
#include "driversetup/redirection_scope.h"
#include "driversetup/service_control.h"
#include "frontend/log.h"
#include "ostrelsetup/ostrel_driver_setup.h"

DWORD CheckCommand()
{
    const DWORD state = Orvane::QueryServiceState(L"QvOstrel");
    LogPrintf("QueryStatus(\"%s\") = \"%s\"\n", "QvOstrel", Orvane::ServiceStateName(state));
    if (state != SERVICE_RUNNING)
        return ERROR_SERVICE_NOT_ACTIVE;

    OstrelDriver::COstrelDriverSystem device;
    const DWORD code = device.QueryDriverVersion();
    if (code == 0 || code == ERROR_REVISION_MISMATCH)
        LogPrintf("Driver: %u.%u.%u.%u, Interface: v%u, NTDDI: 0x%08X\n", device.DriverVersion[0],
                  device.DriverVersion[1], device.DriverVersion[2], device.DriverVersion[3],
                  device.InterfaceVersion, device.NtddiVersion);
    else
        LogPrintf("Failed to communicate with the driver. Error: 0x%x \"%s\"\n", code,
                  qv::WideToUtf8Replacing(ErrorCodeText(code)).c_str());
    return code;
}

bool ShouldUpdateCommand(const std::wstring& driverDirectory)
{
    Orvane::OstrelDriverSetup setup(driverDirectory, LogPrintfW);
    bool outOfDate = false;
    {
        Orvane::RedirectionScope scope;
        const DriverPackage package = setup.GetDriverPackage();
        outOfDate = setup.IsOutOfDate(package);
    }
    const bool answer = outOfDate || setup.StartDriver() != 0;
    LogPrintf("ExitCode: %s\n", answer ? "1 (true)" : "0 (false)");
    return answer;
}
