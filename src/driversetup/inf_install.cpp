// One INF section through the setup library: its file directives, the
// service directives of its ".Services" companion, then its registry
// directives, all in the library's non-interactive mode.
#include "driversetup/driver_setup.h"

#include "driversetup/log_line.h"
#include "driversetup/setup_library.h"

#include <string>

namespace Orvane {

namespace {

/// The code of a step that failed: ERROR_INSTALL_FAILURE when the library
/// failed without setting a last error.
DWORD StepResult(bool succeeded) { return succeeded ? 0 : qv::LastErrorOr(ERROR_INSTALL_FAILURE); }

/// The setup library's non-interactive mode for the scope's lifetime: a
/// step that would ask a user fails instead. The previous mode comes back
/// on every way out.
class NonInteractiveScope {
public:
    NonInteractiveScope()
    {
        if (const auto set = ORVANE_SETUP_FUNCTION(SetupSetNonInteractiveMode)) {
            previous_ = set(TRUE);
            active_ = true;
        }
    }
    ~NonInteractiveScope()
    {
        if (!active_)
            return;
        const DWORD error = ::GetLastError();
        if (const auto set = ORVANE_SETUP_FUNCTION(SetupSetNonInteractiveMode))
            set(previous_);
        ::SetLastError(error);
    }
    NonInteractiveScope(const NonInteractiveScope&) = delete;
    NonInteractiveScope& operator=(const NonInteractiveScope&) = delete;

private:
    BOOL previous_ = FALSE;
    bool active_ = false;
};

/// The source file a "need media" notification asks for is there.
bool SourcePresent(const SOURCE_MEDIA_W* media)
{
    if (!media || !media->SourcePath || !media->SourceFile)
        return false;
    const std::wstring path = std::wstring(media->SourcePath) + L"\\" + media->SourceFile;
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/// Ends the commit with the failed operation's own code.
UINT AbortWith(const FILEPATHS_W* paths)
{
    ::SetLastError(paths && paths->Win32Error ? paths->Win32Error : ERROR_INSTALL_FAILURE);
    return FILEOP_ABORT;
}

/// The default queue callback, except for every notification where the
/// default would ask a user, who is not there: the callback answers those.
UINT CALLBACK CommitCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2)
{
    const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
    // An older, newer or other-language file in the target's place: the
    // caller asked for this package, so its file is installed.
    if (notification & (SPFILENOTIFY_LANGMISMATCH | SPFILENOTIFY_TARGETEXISTS | SPFILENOTIFY_TARGETNEWER))
        return TRUE;
    switch (notification) {
    case SPFILENOTIFY_NEEDMEDIA:
        if (SourcePresent(reinterpret_cast<const SOURCE_MEDIA_W*>(param1)))
            return FILEOP_DOIT;
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return FILEOP_ABORT;
    case SPFILENOTIFY_COPYERROR:
    case SPFILENOTIFY_RENAMEERROR:
    case SPFILENOTIFY_BACKUPERROR:
        return AbortWith(paths);
    case SPFILENOTIFY_DELETEERROR:
        // The file stays; an installed image is deleted afterwards, at the
        // next restart if need be.
        return FILEOP_SKIP;
    default:
        return qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupDefaultQueueCallbackW),
                               static_cast<UINT>(FILEOP_ABORT), context, notification, param1, param2);
    }
}

} // namespace

DWORD DriverSetup::InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                                     const std::wstring& sourceDirectory)
{
    const NonInteractiveScope unattended;
    unique_hinf inf(qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupOpenInfFileW), INVALID_HANDLE_VALUE,
                                    infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    DWORD code = StepResult(static_cast<bool>(inf));
    LogLine(Log, L"SetupOpenInfFile(\"%s\") = 0x%lx\n", infPath.c_str(), code);
    if (code != 0)
        return code;

    unique_file_queue queue(
        qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupOpenFileQueue), INVALID_HANDLE_VALUE));
    code = StepResult(static_cast<bool>(queue));
    LogLine(Log, L"SetupOpenFileQueue() = 0x%lx\n", code);
    if (code != 0)
        return code;

    code = StepResult(qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupInstallFilesFromInfSectionW), FALSE,
                                      inf.get(), nullptr, queue.get(), section.c_str(),
                                      sourceDirectory.c_str(), 0u));
    LogLine(Log, L"SetupInstallFilesFromInfSection(\"%s\", \"%s\") = 0x%lx\n", infPath.c_str(),
            section.c_str(), code);
    if (code != 0)
        return code;

    const std::wstring services = section + L".Services";
    code = StepResult(qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupInstallServicesFromInfSectionW),
                                      FALSE, inf.get(), services.c_str(), 0ul));
    LogLine(Log, L"SetupInstallServicesFromInfSection(\"%s\", \"%s\") = 0x%lx\n", infPath.c_str(),
            services.c_str(), code);
    if (code != 0)
        return code;

    // Required: the commit runs even when the context was not created; keep it so.
    unique_queue_context context(qv::CallIfFound(
        ORVANE_SETUP_FUNCTION(SetupInitDefaultQueueCallbackEx), static_cast<PVOID>(nullptr), nullptr,
        static_cast<HWND>(INVALID_HANDLE_VALUE), 0u, 0ul, nullptr));
    code = StepResult(qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupCommitFileQueueW), FALSE, nullptr,
                                      queue.get(), CommitCallback, context.get()));
    LogLine(Log, L"SetupCommitFileQueue(SetupDefaultQueueCallback) = 0x%lx\n", code);
    if (code != 0)
        return code;

    code = StepResult(qv::CallIfFound(ORVANE_SETUP_FUNCTION(SetupInstallFromInfSectionW), FALSE,
                                      nullptr, inf.get(), section.c_str(), static_cast<UINT>(SPINST_REGISTRY),
                                      nullptr, sourceDirectory.c_str(), 0u, nullptr, nullptr, nullptr,
                                      nullptr));
    // Required: this line names the section, not the INF path; keep it so.
    LogLine(Log, L"SetupInstallFromInfSection(\"%s\", SPINST_REGISTRY) = 0x%lx\n", section.c_str(),
            code);
    return code;
}

} // namespace Orvane
