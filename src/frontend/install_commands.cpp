#include "frontend/commands.h"

#include "common/paths.h"
#include "common/strconv.h"
#include "driversetup/redirection_scope.h"
#include "fileops/hardlinks.h"
#include "frontend/log.h"
#include "ostrelsetup/ostrel_driver_setup.h"


namespace {

/// The driver directory still exists and is a folder. A status query that
/// cannot be made counts as nothing there.
bool IsExistingDirectory(const std::wstring& path)
{
    return qv::QueryPathKind(path) == qv::PathKind::Directory;
}

/// Runs the setup engine for one command, redirection off around it.
DWORD RunSetup(const std::wstring& driverDirectory, bool install, bool start)
{
    Orvane::OstrelDriverSetup setup(driverDirectory, LogPrintfW);
    Orvane::RedirectionScope scope;
    const DriverPackage package = setup.GetDriverPackage();
    return setup.Setup(package, install, start ? setup.StartFlags : 0);
}

void LogExitCode(DWORD code)
{
    LogPrintf("ExitCode: 0x%x \"%s\"\n", code, qv::WideToUtf8Replacing(ErrorCodeText(code)).c_str());
}

} // namespace

DWORD InstallCommand(const std::wstring& driverDirectory, bool serviceStart)
{
    if (!IsExistingDirectory(driverDirectory))
        return ERROR_PATH_NOT_FOUND;
    const DWORD code = RunSetup(driverDirectory, true, serviceStart);
    LogExitCode(code);
    return code;
}

DWORD UninstallCommand(const std::wstring& driverDirectory, const std::wstring& hardlinksPath)
{
    if (!IsExistingDirectory(driverDirectory))
        return ERROR_PATH_NOT_FOUND;
    const DWORD code = RunSetup(driverDirectory, false, false);
    LogExitCode(code);
    Orvane::CleanupOstrelHardlinks(hardlinksPath);
    return code;
}
