// Test doubles for the driver setup engine: a recording log function, a
// driver package in a scratch folder, a setup object that serves it, the
// service key of a made-up service, and redirected imports that stand in for
// the service control manager, the setup library, the code integrity query
// and a locked driver image. Nothing here touches a real service: the fakes
// hand out made-up handles and never reach the real functions with them.
#pragma once

#include "driversetup/driver_setup.h"
#include "support/import_patch.h"
#include "support/tool_runner.h"

#include <windows.h>
#include <setupapi.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qvtest {

// --- recording log ----------------------------------------------------------

/// A WideLogFn that formats with the Windows runtime's conventions (%s wide,
/// %hs narrow) and keeps each call's text as one entry of RecordedLines().
void RecordLog(const wchar_t* format, ...);

/// Everything RecordLog received since the last ClearRecordedLog(), one entry a call.
std::vector<std::wstring>& RecordedLines();
void ClearRecordedLog();

/// How many recorded lines begin with `prefix`.
size_t CountRecordedLines(const std::wstring& prefix);

/// All recorded lines as one narrow text, for failure messages.
std::string RecordedText();

// --- package and setup object -----------------------------------------------

/// A complete driver package in a scratch folder: <name>.inf (a [Version]
/// section with DriverVer 1.2.3.4 and nothing to install), <name>.sys and
/// <name>.cat under Win10-x64, with sections Install.NTamd64 and
/// Uninstall.NTamd64. The folder goes with the object.
class ScratchPackage {
public:
    explicit ScratchPackage(const std::wstring& name);
    const DriverPackage& Package() const { return package_; }
    /// The folder that holds the three files.
    std::wstring Folder() const;

private:
    ScratchFolder scratch_;
    DriverPackage package_;
};

/// A setup object that serves one package and records the INF sections that
/// Setup asks for instead of running them (unless RunSetupLibrary is set).
class TestDriverSetup : public Orvane::DriverSetup {
public:
    TestDriverSetup(DriverPackage package, WideLogFn log);

    DriverPackage GetDriverPackage() override { return package_; }
    DWORD InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                            const std::wstring& sourceDirectory) override;

    struct InfCall {
        std::wstring InfPath;
        std::wstring Section;
        std::wstring SourceDirectory;
    };
    /// Every InstallInfSection call, in order.
    std::vector<InfCall> InfCalls;
    /// The code to answer for a section; 0 when not listed.
    std::map<std::wstring, DWORD> InfResults;
    /// Hands the calls on to the engine's own InstallInfSection after recording.
    bool RunSetupLibrary = false;

private:
    DriverPackage package_;
};

// --- the service key ------------------------------------------------------

/// HKLM\SYSTEM\CurrentControlSet\Services\<name> in the 64-bit view, removed
/// with everything under it when the object is made (a leftover of an earlier
/// run) and again when it goes. Use a name no real service has.
class ScopedServiceKey {
public:
    explicit ScopedServiceKey(std::wstring name);
    ~ScopedServiceKey();
    ScopedServiceKey(const ScopedServiceKey&) = delete;
    ScopedServiceKey& operator=(const ScopedServiceKey&) = delete;

    const std::wstring& Name() const { return name_; }
    /// "SYSTEM\CurrentControlSet\Services\<name>".
    std::wstring Path() const;

    bool Exists() const;
    /// Removes the key now.
    void Remove();

    /// Writes a value, creating the key.
    void SetRaw(const wchar_t* value, DWORD type, const void* data, DWORD size);
    void SetDword(const wchar_t* value, DWORD data);
    /// Text with its terminator.
    void SetText(const wchar_t* value, DWORD type, const std::wstring& text);
    /// Type 1, Start 3, ErrorControl 1 and ImagePath system32\DRIVERS\<sysName>.
    void SetSound(const std::wstring& sysName);

    /// Reads a value of up to 4 bytes; false when it is missing.
    bool Read(const wchar_t* value, DWORD& type, DWORD& data) const;

private:
    std::wstring name_;
};

// --- the service control manager ------------------------------------------

/// Redirects OpenSCManagerW, OpenServiceW, CloseServiceHandle,
/// ControlService, DeleteService, StartServiceW and QueryServiceStatus
/// (advapi32) to a made-up service manager for the object's lifetime. The
/// public fields set its answers and show what was asked. One at a time.
class FakeServiceManager {
public:
    FakeServiceManager();
    ~FakeServiceManager();
    FakeServiceManager(const FakeServiceManager&) = delete;
    FakeServiceManager& operator=(const FakeServiceManager&) = delete;

    // Answers. An error of 0 means success.
    DWORD OpenManagerError = 0;
    /// The error of one OpenServiceW call, given the access asked for and the
    /// number of OpenServiceW calls before it; null means success.
    std::function<DWORD(DWORD access, int callsBefore)> OpenServiceError;
    DWORD ControlError = 0;
    /// How many of the first ControlService calls answer ControlError; the
    /// later ones succeed. Negative: every call.
    int ControlFailures = -1;
    DWORD DeleteError = 0;
    DWORD StartError = 0;
    DWORD QueryError = 0;
    /// What QueryServiceStatus reports, and ControlService when it succeeds.
    DWORD ServiceType = SERVICE_KERNEL_DRIVER;
    DWORD CurrentState = SERVICE_STOPPED;

    // What was asked.
    std::vector<DWORD> ManagerAccess;       // one entry per OpenSCManagerW
    std::vector<std::wstring> Databases;    // its database names ("(null)" for none)
    std::vector<DWORD> ServiceAccess;       // one entry per OpenServiceW
    std::vector<std::wstring> ServiceNames; // its service names
    std::vector<DWORD> Controls;            // one entry per ControlService
    int DeleteCalls = 0;
    int StartCalls = 0;
    int QueryCalls = 0;
    int CloseCalls = 0;
    /// CloseServiceHandle calls with a handle this fake did not hand out.
    int ForeignCloses = 0;
    /// Handles handed out and not yet closed.
    size_t OpenHandles() const { return open_.size(); }

private:
    friend struct FakeServiceManagerHooks;
    std::set<SC_HANDLE> open_;
    ULONG_PTR nextHandle_ = 0x5C0000;
    std::vector<ImportPatch> patches_;
};

// --- the setup library ------------------------------------------------------

/// Redirects the look-ups of the setupapi functions the engine uses to a
/// made-up setup library that does nothing but record its calls. Step numbers of the six
/// calls that InstallInfSection logs: 0 SetupOpenInfFileW, 1
/// SetupOpenFileQueue, 2 SetupInstallFilesFromInfSectionW, 3
/// SetupInstallServicesFromInfSectionW, 4 SetupCommitFileQueueW, 5
/// SetupInstallFromInfSectionW. One at a time.
class FakeSetupLibrary {
public:
    FakeSetupLibrary();
    ~FakeSetupLibrary();
    FakeSetupLibrary(const FakeSetupLibrary&) = delete;
    FakeSetupLibrary& operator=(const FakeSetupLibrary&) = delete;

    /// The step that fails (-1: none) and the last error it sets.
    int FailStep = -1;
    DWORD FailCode = 0;
    /// A failing handle step (0 or 1) answers null instead of INVALID_HANDLE_VALUE.
    bool FailWithNull = false;
    /// SetupInitDefaultQueueCallbackEx answers null.
    bool NoQueueContext = false;
    /// The library's non-interactive mode, and how many of the six steps ran
    /// without it.
    BOOL NonInteractive = FALSE;
    int InteractiveSteps = 0;

    /// The name of every call, in order ("SetupOpenInfFileW", ...).
    std::vector<std::string> Calls;
    /// Arguments worth checking.
    std::wstring InfPath;
    const wchar_t* InfClass = nullptr;
    DWORD InfStyle = 0;
    const UINT* ErrorLine = nullptr;
    std::wstring FilesSection;
    std::wstring FilesSource;
    HINF FilesLayout = nullptr;
    UINT FilesCopyFlags = ~0u;
    std::wstring ServicesSection;
    DWORD ServicesFlags = ~0u;
    HWND ContextOwner = nullptr;
    HWND ContextProgress = nullptr;
    PSP_FILE_CALLBACK_W CommitCallback = nullptr;
    PVOID CommitContext = nullptr;
    HWND CommitOwner = nullptr;
    std::wstring RegistrySection;
    UINT RegistryFlags = 0;
    std::wstring RegistrySource;
    HKEY RegistryRoot = nullptr;
    UINT RegistryCopyFlags = ~0u;
    bool RegistryHandlerGiven = false;

    /// How many calls of `name` were made.
    int Count(const std::string& name) const;

    static HINF Inf();
    static HSPFILEQ Queue();
    static PVOID Context();

private:
    std::vector<std::unique_ptr<ProcAddressOverride>> overrides_;
};

// --- memory integrity and a locked image ------------------------------------

/// Redirects ntdll's NtQuerySystemInformation: class 103 (code integrity)
/// answers `status` with `options` in the options word; other classes go
/// to the real function.
class FakeCodeIntegrity {
public:
    FakeCodeIntegrity(ULONG options, LONG status = 0);
    ~FakeCodeIntegrity();

    int Calls = 0;
    ULONG BufferLength = 0;  // the length argument of the last call
    ULONG LengthField = 0;   // the buffer's first field as the engine set it
    ULONG OptionsField = ~0u; // the buffer's second field as the engine set it
    bool ReturnLengthGiven = false;

private:
    ULONG options_;
    LONG status_;
    friend struct CodeIntegrityHooks;
    ImportPatch patch_;
};

/// Redirects kernel32's CreateFileW: opening `path` fails with 32 (sharing
/// violation); every other path goes to the real function.
class LockedFile {
public:
    explicit LockedFile(std::wstring path);
    ~LockedFile();
    int Attempts = 0;
    DWORD LastAccess = 0;
    DWORD LastShare = 0;
    DWORD LastDisposition = 0;

private:
    friend struct LockedFileHooks;
    std::wstring path_;
    ImportPatch patch_;
};

} // namespace qvtest
