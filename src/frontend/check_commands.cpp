#include "frontend/commands.h"

DWORD CheckCommand()
{
    return ERROR_CALL_NOT_IMPLEMENTED;
}

bool ShouldUpdateCommand(const std::wstring& /*driverDirectory*/)
{
    return false;
}
