#include "frontend/commands.h"

DWORD InstallCommand(const std::wstring& /*driverDirectory*/, bool /*serviceStart*/)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD UninstallCommand(const std::wstring& /*driverDirectory*/, const std::wstring& /*hardlinksPath*/)
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}
