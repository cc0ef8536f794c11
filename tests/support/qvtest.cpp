#include "support/qvtest.h"

#include "common/strconv.h"
#include "common/unique_handle.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvtest {

namespace {

constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel";
constexpr wchar_t kParametersKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel\\Parameters";

HANDLE InheritableFile(const fs::path& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring Quote(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    for (wchar_t c : arg)
        quoted += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
    return quoted + L"\"";
}

/// The environment variable `name` when set, else `fallback`.
fs::path FromEnvironment(const wchar_t* name, const fs::path& fallback)
{
    wchar_t chosen[MAX_PATH] = {};
    return GetEnvironmentVariableW(name, chosen, MAX_PATH) ? fs::path(chosen) : fallback;
}

/// The QvOstrel service opened for `access` (empty when there is none).
qv::unique_schandle OpenQvService(DWORD access)
{
    const qv::unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return qv::unique_schandle(manager ? OpenServiceW(manager.get(), L"QvOstrel", access) : nullptr);
}

} // namespace

fs::path BuildFolder()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(self).parent_path().parent_path();
}

fs::path ToolPath() { return FromEnvironment(L"QV_TOOL_EXE", BuildFolder() / L"QvOstrelSetup.exe"); }

bool ToolRunsUnderWow64()
{
    DWORD type = 0;
    return sizeof(void*) == 8 && GetBinaryTypeW(ToolPath().c_str(), &type) && type == SCS_32BIT_BINARY;
}

fs::path PlantedDll() { return FromEnvironment(L"QV_PLANTED_DLL", BuildFolder() / L"tests/planted_marker.dll"); }

namespace {

bool NativeArm64()
{
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
}

} // namespace

std::wstring NativePackageFolder() { return NativeArm64() ? L"Win10-ARM64" : L"Win10-x64"; }

std::string NativeInfDecoration() { return NativeArm64() ? "NTarm64" : "NTamd64"; }

RunResult Run(const fs::path& program, const std::vector<std::wstring>& args)
{
    std::wstring line = Quote(program.wstring());
    for (const std::wstring& arg : args)
        line += L" " + Quote(arg);
    Scratch io;
    qv::unique_file out(InheritableFile(io / L"out", GENERIC_WRITE, CREATE_ALWAYS));
    qv::unique_file in(InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = out.get();
    startup.hStdInput = in.get();
    PROCESS_INFORMATION process = {};
    BOOL started = FALSE;
    // Wine now and then fails a process start with an internal error.
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        std::wstring mutableLine = line;
        started = CreateProcessW(program.c_str(), &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
            break;
        if (!started)
            Sleep(200);
    }
    out.reset(), in.reset();
    if (!started)
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
    const qv::unique_handle thread(process.hThread), child(process.hProcess);
    RunResult result;
    WaitForSingleObject(child.get(), 120000);
    GetExitCodeProcess(child.get(), &result.exitCode);
    result.output = ReadBytes(io / L"out");
    return result;
}

std::string Crlf(const std::string& text)
{
    std::string console;
    for (char c : text)
        console += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return console;
}

std::string U8(const fs::path& path) { return qv::WideToUtf8(path.wstring()); }

std::string ReadBytes(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

Scratch::Scratch()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = fs::path(temp) / (L"qvtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++));
    fs::create_directories(path_);
}

Scratch::~Scratch()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path InstalledImage()
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return fs::path(system) / L"drivers" / L"QvOstrel.sys";
}

DWORD ServiceState()
{
    SERVICE_STATUS status = {};
    const qv::unique_schandle service = OpenQvService(SERVICE_QUERY_STATUS);
    return service && QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

void RemoveDriver()
{
    if (const qv::unique_schandle service = OpenQvService(SERVICE_ALL_ACCESS)) {
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        DeleteService(service.get());
    }
    for (int i = 0; i < 100 && ServiceState() != 0; ++i)
        Sleep(50);
    SetFileAttributesW(InstalledImage().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(InstalledImage().c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
}

void SetServiceValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, type, data, size);
}

void SetServiceDword(const wchar_t* name, DWORD value, bool parameters)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters ? kParametersKey : kServiceKey, name, REG_DWORD, &value, sizeof(value));
}

std::vector<DWORD> DriverReadsSeen()
{
    DWORD seen[16] = {}, size = sizeof(seen);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kParametersKey, L"ReadsSeen", RRF_RT_REG_BINARY, nullptr, seen, &size))
        size = 0;
    return std::vector<DWORD>(seen, seen + size / sizeof(DWORD));
}

DWORD ServiceDword(const wchar_t* name, DWORD* type)
{
    DWORD value = 0, size = sizeof(value), kind = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, RRF_RT_ANY, &kind, &value,
                     &size) != ERROR_SUCCESS)
        kind = 0;
    if (type)
        *type = kind;
    return value;
}

ScopedValue::ScopedValue(const wchar_t* key, const wchar_t* name, DWORD type, const void* data, DWORD size,
                         HKEY root)
    : root_(root), key_(key), name_(name)
{
    DWORD length = 0;
    if (RegGetValueW(root, key, name, RRF_RT_ANY, &savedType_, nullptr, &length) == ERROR_SUCCESS) {
        saved_.resize(length);
        existed_ = RegGetValueW(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &savedType_, saved_.data(), &length) ==
                   ERROR_SUCCESS;
    }
    if (data)
        RegSetKeyValueW(root, key, name, type, data, size);
    else
        RegDeleteKeyValueW(root, key, name);
}

ScopedValue::~ScopedValue()
{
    if (existed_)
        RegSetKeyValueW(root_, key_.c_str(), name_.c_str(), savedType_, saved_.data(),
                        static_cast<DWORD>(saved_.size()));
    else
        RegDeleteKeyValueW(root_, key_.c_str(), name_.c_str());
}

bool PendingRename(const fs::path& path)
{
    wchar_t data[32768] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                     L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return false;
    for (const wchar_t* entry = data; entry < data + size / sizeof(wchar_t); entry += wcslen(entry) + 1) {
        std::wstring text = entry;
        if (text.rfind(L"\\??\\", 0) == 0)
            text.erase(0, 4);
        if (CompareStringOrdinal(text.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

} // namespace qvtest
