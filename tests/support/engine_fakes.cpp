#include "support/engine_fakes.h"

#include "driversetup/service_registry.h"

#include <winternl.h>

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace qvtest {

// --- recording log ----------------------------------------------------------

std::vector<std::wstring>& RecordedLines()
{
    static std::vector<std::wstring> lines;
    return lines;
}

void ClearRecordedLog() { RecordedLines().clear(); }

void RecordLog(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    std::wstring line;
    if (length > 0) {
        std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
        _vsnwprintf(text.data(), text.size(), format, args);
        line.assign(text.data(), static_cast<size_t>(length));
    }
    va_end(args);
    RecordedLines().push_back(line);
}

size_t CountRecordedLines(const std::wstring& prefix)
{
    size_t count = 0;
    for (const std::wstring& line : RecordedLines())
        count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return count;
}

std::string RecordedText()
{
    std::string text;
    for (const std::wstring& line : RecordedLines()) {
        for (wchar_t c : line)
            text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

// --- package and setup object -----------------------------------------------

ScratchPackage::ScratchPackage(const std::wstring& name)
{
    const fs::path folder = scratch_ / L"Win10-x64";
    package_ = {name,
                (folder / (name + L".inf")).wstring(),
                (folder / (name + L".sys")).wstring(),
                (folder / (name + L".cat")).wstring(),
                L"Install.NTamd64",
                L"Uninstall.NTamd64"};
    WriteFileBytes(package_.InfPath, "[Version]\r\n"
                                     "Signature   = \"$WINDOWS NT$\"\r\n"
                                     "DriverVer   = 01/02/2023,1.2.3.4\r\n");
    WriteFileBytes(package_.SysPath, "not a driver image");
    WriteFileBytes(package_.CatPath, "placeholder catalog");
}

std::wstring ScratchPackage::Folder() const { return (scratch_ / L"Win10-x64").wstring(); }

TestDriverSetup::TestDriverSetup(DriverPackage package, WideLogFn log)
    : DriverSetup(L"C:\\unused", log), package_(std::move(package))
{
}

DWORD TestDriverSetup::InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                                         const std::wstring& sourceDirectory)
{
    InfCalls.push_back({infPath, section, sourceDirectory});
    if (RunSetupLibrary)
        return DriverSetup::InstallInfSection(infPath, section, sourceDirectory);
    const auto found = InfResults.find(section);
    return found == InfResults.end() ? 0 : found->second;
}

// --- the service key ------------------------------------------------------

namespace {

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

} // namespace

ScopedServiceKey::ScopedServiceKey(std::wstring name) : name_(std::move(name))
{
    if (name_.empty() || name_.find(L'\\') != std::wstring::npos)
        throw std::invalid_argument("ScopedServiceKey: a plain service name is required");
    Remove();
}

ScopedServiceKey::~ScopedServiceKey() { Remove(); }

std::wstring ScopedServiceKey::Path() const { return Orvane::ServiceKeyPath(name_); }

bool ScopedServiceKey::Exists() const
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void ScopedServiceKey::Remove()
{
    HKEY services = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0,
                      KEY_READ | KEY_WRITE | DELETE | KEY_WOW64_64KEY, &services) != ERROR_SUCCESS)
        return;
    RegDeleteTreeW(services, name_.c_str());
    RegCloseKey(services);
}

void ScopedServiceKey::SetRaw(const wchar_t* value, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path().c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("ScopedServiceKey: cannot create the key");
    status = RegSetValueExW(key, value, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("ScopedServiceKey: cannot write a value");
}

void ScopedServiceKey::SetDword(const wchar_t* value, DWORD data)
{
    SetRaw(value, REG_DWORD, &data, sizeof(data));
}

void ScopedServiceKey::SetText(const wchar_t* value, DWORD type, const std::wstring& text)
{
    SetRaw(value, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void ScopedServiceKey::SetSound(const std::wstring& sysName)
{
    SetDword(L"Type", SERVICE_KERNEL_DRIVER);
    SetDword(L"Start", SERVICE_DEMAND_START);
    SetDword(L"ErrorControl", SERVICE_ERROR_NORMAL);
    SetText(L"ImagePath", REG_EXPAND_SZ, L"system32\\DRIVERS\\" + sysName);
}

bool ScopedServiceKey::Read(const wchar_t* value, DWORD& type, DWORD& data) const
{
    type = 0;
    data = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = sizeof(data);
    const LSTATUS status =
        RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// --- the service control manager ------------------------------------------

namespace {

FakeServiceManager* g_manager = nullptr;

FakeServiceManager& ActiveManager()
{
    if (g_manager == nullptr)
        throw std::logic_error("FakeServiceManager: no fake is active");
    return *g_manager;
}

} // namespace

struct FakeServiceManagerHooks {
    static SC_HANDLE Hand(FakeServiceManager& fake)
    {
        const SC_HANDLE handle = reinterpret_cast<SC_HANDLE>(fake.nextHandle_);
        fake.nextHandle_ += 0x10;
        fake.open_.insert(handle);
        return handle;
    }

    static bool Owned(FakeServiceManager& fake, SC_HANDLE handle)
    {
        return fake.open_.count(handle) != 0;
    }

    static SC_HANDLE WINAPI OpenSCManager(LPCWSTR machine, LPCWSTR database, DWORD access)
    {
        FakeServiceManager& fake = ActiveManager();
        fake.ManagerAccess.push_back(access);
        fake.Databases.push_back(database != nullptr ? database : L"(null)");
        if (machine != nullptr || fake.OpenManagerError != 0) {
            SetLastError(machine != nullptr ? ERROR_INVALID_PARAMETER : fake.OpenManagerError);
            return nullptr;
        }
        SetLastError(0);
        return Hand(fake);
    }

    static SC_HANDLE WINAPI OpenService(SC_HANDLE manager, LPCWSTR name, DWORD access)
    {
        FakeServiceManager& fake = ActiveManager();
        const int before = static_cast<int>(fake.ServiceAccess.size());
        fake.ServiceAccess.push_back(access);
        fake.ServiceNames.push_back(name != nullptr ? name : L"(null)");
        if (!Owned(fake, manager)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        const DWORD error = fake.OpenServiceError ? fake.OpenServiceError(access, before) : 0;
        if (error != 0) {
            SetLastError(error);
            return nullptr;
        }
        SetLastError(0);
        return Hand(fake);
    }

    static BOOL WINAPI CloseService(SC_HANDLE handle)
    {
        FakeServiceManager& fake = ActiveManager();
        ++fake.CloseCalls;
        if (!Owned(fake, handle)) {
            ++fake.ForeignCloses;
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        fake.open_.erase(handle);
        return TRUE;
    }

    static BOOL Answer(DWORD error)
    {
        SetLastError(error);
        return error == 0;
    }

    static BOOL WINAPI Control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
    {
        FakeServiceManager& fake = ActiveManager();
        fake.Controls.push_back(control);
        if (!Owned(fake, service))
            return Answer(ERROR_INVALID_HANDLE);
        const int before = static_cast<int>(fake.Controls.size()) - 1;
        const DWORD error =
            fake.ControlFailures < 0 || before < fake.ControlFailures ? fake.ControlError : 0;
        if (error == 0 && status != nullptr) {
            *status = SERVICE_STATUS{};
            status->dwServiceType = fake.ServiceType;
            status->dwCurrentState = fake.CurrentState;
        }
        return Answer(error); // a failure leaves the record as it was
    }

    static BOOL WINAPI Delete(SC_HANDLE service)
    {
        FakeServiceManager& fake = ActiveManager();
        ++fake.DeleteCalls;
        return Answer(Owned(fake, service) ? fake.DeleteError : ERROR_INVALID_HANDLE);
    }

    static BOOL WINAPI Start(SC_HANDLE service, DWORD, LPCWSTR*)
    {
        FakeServiceManager& fake = ActiveManager();
        ++fake.StartCalls;
        return Answer(Owned(fake, service) ? fake.StartError : ERROR_INVALID_HANDLE);
    }

    static BOOL WINAPI Query(SC_HANDLE service, LPSERVICE_STATUS status)
    {
        FakeServiceManager& fake = ActiveManager();
        ++fake.QueryCalls;
        if (!Owned(fake, service))
            return Answer(ERROR_INVALID_HANDLE);
        if (fake.QueryError == 0 && status != nullptr) {
            *status = SERVICE_STATUS{};
            status->dwServiceType = fake.ServiceType;
            status->dwCurrentState = fake.CurrentState;
        }
        return Answer(fake.QueryError);
    }
};

FakeServiceManager::FakeServiceManager()
{
    if (g_manager != nullptr)
        throw std::logic_error("FakeServiceManager: only one at a time");
    g_manager = this;
    try {
        using H = FakeServiceManagerHooks;
        patches_.push_back(PatchImport("advapi32.dll", "OpenSCManagerW", &H::OpenSCManager));
        patches_.push_back(PatchImport("advapi32.dll", "OpenServiceW", &H::OpenService));
        patches_.push_back(PatchImport("advapi32.dll", "CloseServiceHandle", &H::CloseService));
        patches_.push_back(PatchImport("advapi32.dll", "ControlService", &H::Control));
        patches_.push_back(PatchImport("advapi32.dll", "DeleteService", &H::Delete));
        patches_.push_back(PatchImport("advapi32.dll", "StartServiceW", &H::Start));
        patches_.push_back(PatchImport("advapi32.dll", "QueryServiceStatus", &H::Query));
    } catch (...) {
        while (!patches_.empty())
            patches_.pop_back();
        g_manager = nullptr;
        throw;
    }
}

FakeServiceManager::~FakeServiceManager()
{
    while (!patches_.empty())
        patches_.pop_back(); // in reverse order
    g_manager = nullptr;
}

// --- the setup library ------------------------------------------------------

namespace {

FakeSetupLibrary* g_library = nullptr;

FakeSetupLibrary& ActiveLibrary()
{
    if (g_library == nullptr)
        throw std::logic_error("FakeSetupLibrary: no fake is active");
    return *g_library;
}

/// Records a call; true when this step is the one to fail, with its error set.
bool Fails(FakeSetupLibrary& fake, const char* name, int step)
{
    fake.Calls.push_back(name);
    fake.InteractiveSteps += fake.NonInteractive ? 0 : 1;
    if (fake.FailStep == step) {
        SetLastError(fake.FailCode);
        return true;
    }
    SetLastError(0);
    return false;
}

std::wstring Text(PCWSTR text) { return text != nullptr ? text : L"(null)"; }

HINF WINAPI FakeOpenInf(PCWSTR fileName, PCWSTR infClass, DWORD style, PUINT errorLine)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.InfPath = Text(fileName);
    fake.InfClass = infClass;
    fake.InfStyle = style;
    fake.ErrorLine = errorLine;
    if (Fails(fake, "SetupOpenInfFileW", 0))
        return fake.FailWithNull ? nullptr : static_cast<HINF>(INVALID_HANDLE_VALUE);
    return FakeSetupLibrary::Inf();
}

HSPFILEQ WINAPI FakeOpenQueue()
{
    FakeSetupLibrary& fake = ActiveLibrary();
    if (Fails(fake, "SetupOpenFileQueue", 1))
        return fake.FailWithNull ? nullptr : static_cast<HSPFILEQ>(INVALID_HANDLE_VALUE);
    return FakeSetupLibrary::Queue();
}

WINBOOL WINAPI FakeInstallFiles(HINF inf, HINF layout, HSPFILEQ queue, PCWSTR section,
                                PCWSTR source, UINT copyFlags)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.FilesSection = Text(section);
    fake.FilesSource = Text(source);
    fake.FilesLayout = layout;
    fake.FilesCopyFlags = copyFlags;
    if (inf != FakeSetupLibrary::Inf() || queue != FakeSetupLibrary::Queue()) {
        fake.Calls.push_back("SetupInstallFilesFromInfSectionW with a wrong handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return !Fails(fake, "SetupInstallFilesFromInfSectionW", 2);
}

WINBOOL WINAPI FakeInstallServices(HINF inf, PCWSTR section, DWORD flags)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.ServicesSection = Text(section);
    fake.ServicesFlags = flags;
    if (inf != FakeSetupLibrary::Inf()) {
        fake.Calls.push_back("SetupInstallServicesFromInfSectionW with a wrong handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return !Fails(fake, "SetupInstallServicesFromInfSectionW", 3);
}

PVOID WINAPI FakeInitContext(HWND owner, HWND progress, UINT, DWORD, PVOID)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.Calls.push_back("SetupInitDefaultQueueCallbackEx");
    fake.ContextOwner = owner;
    fake.ContextProgress = progress;
    if (fake.NoQueueContext) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return FakeSetupLibrary::Context();
}

WINBOOL WINAPI FakeCommit(HWND owner, HSPFILEQ queue, PSP_FILE_CALLBACK_W callback, PVOID context)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.CommitOwner = owner;
    fake.CommitCallback = callback;
    fake.CommitContext = context;
    if (queue != FakeSetupLibrary::Queue()) {
        fake.Calls.push_back("SetupCommitFileQueueW with a wrong handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return !Fails(fake, "SetupCommitFileQueueW", 4);
}

WINBOOL WINAPI FakeInstallFromSection(HWND, HINF inf, PCWSTR section, UINT flags, HKEY root,
                                      PCWSTR source, UINT copyFlags, PSP_FILE_CALLBACK_W handler,
                                      PVOID context, HDEVINFO devices, PSP_DEVINFO_DATA device)
{
    FakeSetupLibrary& fake = ActiveLibrary();
    fake.RegistrySection = Text(section);
    fake.RegistryFlags = flags;
    fake.RegistrySource = Text(source);
    fake.RegistryRoot = root;
    fake.RegistryCopyFlags = copyFlags;
    fake.RegistryHandlerGiven = handler != nullptr || context != nullptr || devices != nullptr ||
                                device != nullptr;
    if (inf != FakeSetupLibrary::Inf()) {
        fake.Calls.push_back("SetupInstallFromInfSectionW with a wrong handle");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return !Fails(fake, "SetupInstallFromInfSectionW", 5);
}

VOID WINAPI FakeTermContext(PVOID context)
{
    ActiveLibrary().Calls.push_back(context == FakeSetupLibrary::Context()
                                        ? "SetupTermDefaultQueueCallback"
                                        : "SetupTermDefaultQueueCallback with a wrong context");
}

WINBOOL WINAPI FakeCloseQueue(HSPFILEQ queue)
{
    const bool ours = queue == FakeSetupLibrary::Queue();
    ActiveLibrary().Calls.push_back(ours ? "SetupCloseFileQueue"
                                         : "SetupCloseFileQueue with a wrong handle");
    return ours;
}

WINBOOL WINAPI FakeSetNonInteractiveMode(WINBOOL on)
{
    return std::exchange(ActiveLibrary().NonInteractive, on);
}

VOID WINAPI FakeCloseInf(HINF inf)
{
    ActiveLibrary().Calls.push_back(inf == FakeSetupLibrary::Inf()
                                        ? "SetupCloseInfFile"
                                        : "SetupCloseInfFile with a wrong handle");
}

} // namespace

HINF FakeSetupLibrary::Inf() { return reinterpret_cast<HINF>(static_cast<ULONG_PTR>(0x1F000)); }
HSPFILEQ FakeSetupLibrary::Queue()
{
    return reinterpret_cast<HSPFILEQ>(static_cast<ULONG_PTR>(0x2F000));
}
PVOID FakeSetupLibrary::Context() { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x3F000)); }

FakeSetupLibrary::FakeSetupLibrary()
{
    if (g_library != nullptr)
        throw std::logic_error("FakeSetupLibrary: only one at a time");
    g_library = this;
    try {
        const auto redirect = [this](const char* name, auto* replacement) {
            overrides_.push_back(std::make_unique<ProcAddressOverride>(name, replacement));
        };
        redirect("SetupOpenInfFileW", &FakeOpenInf);
        redirect("SetupOpenFileQueue", &FakeOpenQueue);
        redirect("SetupInstallFilesFromInfSectionW", &FakeInstallFiles);
        redirect("SetupInstallServicesFromInfSectionW", &FakeInstallServices);
        redirect("SetupInitDefaultQueueCallbackEx", &FakeInitContext);
        redirect("SetupCommitFileQueueW", &FakeCommit);
        redirect("SetupInstallFromInfSectionW", &FakeInstallFromSection);
        redirect("SetupTermDefaultQueueCallback", &FakeTermContext);
        redirect("SetupCloseFileQueue", &FakeCloseQueue);
        redirect("SetupCloseInfFile", &FakeCloseInf);
        redirect("SetupSetNonInteractiveMode", &FakeSetNonInteractiveMode);
    } catch (...) {
        while (!overrides_.empty())
            overrides_.pop_back();
        g_library = nullptr;
        throw;
    }
}

FakeSetupLibrary::~FakeSetupLibrary()
{
    while (!overrides_.empty())
        overrides_.pop_back(); // in reverse order
    g_library = nullptr;
}

int FakeSetupLibrary::Count(const std::string& name) const
{
    int count = 0;
    for (const std::string& call : Calls)
        count += call == name ? 1 : 0;
    return count;
}

// --- memory integrity and a locked image ------------------------------------

namespace {

FakeCodeIntegrity* g_integrity = nullptr;
LockedFile* g_locked = nullptr;

} // namespace

struct CodeIntegrityHooks {
    static NTSTATUS NTAPI Query(SYSTEM_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                PULONG returned)
    {
        FakeCodeIntegrity* fake = g_integrity;
        if (fake == nullptr || static_cast<ULONG>(infoClass) != 103) {
            const auto real = reinterpret_cast<decltype(&Query)>(
                fake != nullptr ? fake->patch_.original()
                                : reinterpret_cast<void*>(GetProcAddress(
                                      GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
            return real(infoClass, buffer, length, returned);
        }
        ++fake->Calls;
        fake->BufferLength = length;
        fake->ReturnLengthGiven = returned != nullptr;
        if (buffer == nullptr || length < 8)
            return static_cast<NTSTATUS>(0xC0000004L); // STATUS_INFO_LENGTH_MISMATCH
        ULONG* fields = static_cast<ULONG*>(buffer);
        fake->LengthField = fields[0];
        fake->OptionsField = fields[1];
        if (fake->status_ == 0) {
            fields[1] = fake->options_;
            if (returned != nullptr)
                *returned = 8;
        }
        return fake->status_;
    }
};

FakeCodeIntegrity::FakeCodeIntegrity(ULONG options, LONG status)
    : options_(options), status_(status),
      patch_(PatchImport("ntdll.dll", "NtQuerySystemInformation", &CodeIntegrityHooks::Query))
{
    g_integrity = this;
}

FakeCodeIntegrity::~FakeCodeIntegrity() { g_integrity = nullptr; }

struct LockedFileHooks {
    static HANDLE WINAPI Create(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE model)
    {
        LockedFile* fake = g_locked;
        if (fake == nullptr) {
            const auto real = reinterpret_cast<decltype(&Create)>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateFileW")));
            return real(path, access, share, security, disposition, flags, model);
        }
        if (path != nullptr && lstrcmpiW(path, fake->path_.c_str()) == 0) {
            ++fake->Attempts;
            fake->LastAccess = access;
            fake->LastShare = share;
            fake->LastDisposition = disposition;
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        return reinterpret_cast<decltype(&Create)>(fake->patch_.original())(
            path, access, share, security, disposition, flags, model);
    }
};

LockedFile::LockedFile(std::wstring path)
    : path_(std::move(path)), patch_(PatchImport("kernel32.dll", "CreateFileW", &LockedFileHooks::Create))
{
    g_locked = this;
}

LockedFile::~LockedFile() { g_locked = nullptr; }

} // namespace qvtest
