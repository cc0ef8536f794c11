#include "driver_fixture.h"

#include "common/strconv.h"

#include <cwctype>

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel";
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPending[] = L"PendingFileRenameOperations";

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

} // namespace

DriverTest::DriverTest()
    : version_(L"QvOstrelSetup.exe", L"win10"), build_(L"19045", 0)
{
    RemoveDriver();
}

DriverTest::~DriverTest()
{
    RemoveDriver();
    EXPECT_EQ(ServiceState(), 0u) << "a test left the service behind";
}

qvtest::RunResult DriverTest::Tool(const std::vector<std::wstring>& args)
{
    return qvtest::RunProgram(qvtest::ToolPath(), args);
}

std::wstring DriverTest::DriversPath(const std::wstring& set)
{
    return L"drivers-path=" + (qvtest::BuildFolder() / set).wstring();
}

std::wstring DriverTest::DriverDirectory(const std::wstring& set)
{
    return (qvtest::BuildFolder() / set).wstring() + L"\\";
}

fs::path DriverTest::PackageFolder(const std::wstring& set)
{
    return qvtest::BuildFolder() / set / L"Win10-x64";
}

fs::path DriverTest::InstalledImage()
{
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return fs::path(system) / L"drivers" / L"QvOstrel.sys";
}

DWORD DriverTest::ServiceState()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return 0;
    DWORD state = 0;
    if (SC_HANDLE service = OpenServiceW(manager, L"QvOstrel", SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status))
            state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

void DriverTest::RemoveDriver()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) {
        if (SC_HANDLE service = OpenServiceW(manager, L"QvOstrel", SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status = {};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    for (int i = 0; i < 100 && ServiceState() != 0; ++i)
        Sleep(50);
    std::error_code ignored;
    fs::permissions(InstalledImage(), fs::perms::owner_write, fs::perm_options::add, ignored);
    fs::remove(InstalledImage(), ignored);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
}

void DriverTest::SetParameter(const wchar_t* name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kServiceKey) + L"\\Parameters").c_str(), 0,
                              nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

bool DriverTest::ReadServiceDword(const wchar_t* name, DWORD& value)
{
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                        &size) == ERROR_SUCCESS;
}

PendingRenames::PendingRenames()
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ, nullptr,
                     nullptr, &size) == ERROR_SUCCESS) {
        saved_.resize(size);
        existed_ = RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ,
                                nullptr, saved_.data(), &size) == ERROR_SUCCESS;
        saved_.resize(size);
    }
}

PendingRenames::~PendingRenames()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (existed_)
        RegSetValueExW(key, kPending, 0, REG_MULTI_SZ, saved_.data(), static_cast<DWORD>(saved_.size()));
    else
        RegDeleteValueW(key, kPending);
    RegCloseKey(key);
}

std::vector<std::wstring> PendingRenames::Entries() const
{
    std::vector<std::wstring> entries;
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ, nullptr,
                     nullptr, &size) != ERROR_SUCCESS)
        return entries;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1);
    RegGetValueW(HKEY_LOCAL_MACHINE, kSessionManager, kPending, RRF_RT_REG_MULTI_SZ, nullptr,
                 data.data(), &size);
    for (const wchar_t* p = data.data(); p < data.data() + size / sizeof(wchar_t); p += wcslen(p) + 1)
        entries.emplace_back(p);
    return entries;
}

bool PendingRenames::Holds(const std::wstring& path) const
{
    for (std::wstring entry : Entries()) {
        if (entry.rfind(L"\\??\\", 0) == 0)
            entry.erase(0, 4);
        if (!entry.empty() && Lower(entry) == Lower(path))
            return true;
    }
    return false;
}

std::vector<std::string> Lines(const std::string& output)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

} // namespace e2e
