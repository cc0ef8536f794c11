#include "driversetup/service_registry.h"

#include "common/unique_handle.h"
#include "driversetup/driver_setup.h"
#include "driversetup/log_line.h"

#include <filesystem>

namespace Orvane {

namespace {

constexpr REGSAM kCheckAccess = KEY_READ | KEY_WOW64_64KEY;
constexpr REGSAM kRepairAccess = KEY_READ | KEY_WRITE | KEY_WOW64_64KEY;
constexpr DWORD kDriverTypeBits =
    SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER | SERVICE_RECOGNIZER_DRIVER;
constexpr DWORD kImagePathChars = MAX_PATH;

struct DwordValue {
    LSTATUS Status = ERROR_SUCCESS;
    DWORD Type = 0;
    DWORD Data = 0;
    bool IsDword() const { return Status == ERROR_SUCCESS && Type == REG_DWORD; }
};

DwordValue ReadDword(HKEY key, const wchar_t* name)
{
    DwordValue value;
    DWORD size = sizeof(value.Data);
    value.Status = ::RegQueryValueExW(key, name, nullptr, &value.Type,
                                      reinterpret_cast<BYTE*>(&value.Data), &size);
    return value;
}

LSTATUS WriteDword(HKEY key, const wchar_t* name, DWORD data)
{
    return ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                            sizeof(data));
}

const wchar_t* DispositionText(DWORD disposition)
{
    switch (disposition) {
    case REG_CREATED_NEW_KEY: return L"new key";
    case REG_OPENED_EXISTING_KEY: return L"existing key";
    default: return L"n/a";
    }
}

/// Creates or opens the service key for a repair, logging a failure or a
/// newly created key. Returns an empty owner on failure.
qv::unique_hkey CreateServiceKey(const std::wstring& name, WideLogFn log)
{
    const std::wstring path = ServiceKeyPath(name);
    qv::unique_hkey key;
    DWORD disposition = 0;
    const LSTATUS status =
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          kRepairAccess, nullptr, key.put(), &disposition);
    if (status != ERROR_SUCCESS || disposition == REG_CREATED_NEW_KEY)
        LogLine(log, L"RegCreateKey(\"%s\", Disposition:%s) = 0x%lx\n", path.c_str(),
                DispositionText(status == ERROR_SUCCESS ? disposition : 0),
                static_cast<DWORD>(status));
    return key;
}

/// Rewrites one start value with 1 when `valid` says the value read is bad.
template <class Valid>
void RepairDword(HKEY key, const wchar_t* name, WideLogFn log, Valid valid)
{
    const DwordValue value = ReadDword(key, name);
    if (value.IsDword() && valid(value.Data))
        return;
    LogLine(log, L"RegQueryValue(\"%s\":%lu, Type:%lu) = 0x%lx\n", name, value.Data, value.Type,
            static_cast<DWORD>(value.Status));
    const LSTATUS written = WriteDword(key, name, SERVICE_SYSTEM_START);
    LogLine(log, L"RegSetValue(\"%s\":%lu, Type:%lu) = 0x%lx\n", name, 1UL,
            static_cast<DWORD>(REG_DWORD), static_cast<DWORD>(written));
}

/// The service type as the service manager reports it; 1 when it cannot.
DWORD ServiceTypeFromManager(const std::wstring& name)
{
    qv::unique_schandle manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!manager)
        return SERVICE_KERNEL_DRIVER;
    qv::unique_schandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !::QueryServiceStatus(service.get(), &status))
        return SERVICE_KERNEL_DRIVER;
    return status.dwServiceType;
}

bool ImagePathMatches(HKEY key, const std::wstring& expected, WideLogFn log)
{
    // One unit more than the value may fill, so the text always ends in a
    // terminator: a value of exactly 520 bytes without one is compared as
    // its 260 units, and nothing is read past the buffer.
    wchar_t text[kImagePathChars + 1] = {};
    DWORD type = 0;
    DWORD size = kImagePathChars * sizeof(wchar_t);
    const LSTATUS status =
        ::RegQueryValueExW(key, L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (status == ERROR_SUCCESS && size < kImagePathChars * sizeof(wchar_t))
        text[size / sizeof(wchar_t)] = L'\0';
    else if (status != ERROR_SUCCESS)
        text[0] = L'\0';
    const bool matches =
        status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) &&
        ::CompareStringW(::GetThreadLocale(), NORM_IGNORECASE, text, -1, expected.c_str(), -1) ==
            CSTR_EQUAL;
    if (!matches)
        LogLine(log, L"RegQueryValue(\"%s\":\"%s\", Type:%lu, Expected:\"%s\") = 0x%lx\n",
                L"ImagePath", text, type, expected.c_str(), static_cast<DWORD>(status));
    return matches;
}

} // namespace

std::wstring ServiceKeyPath(const std::wstring& name)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" + name;
}

bool DriverSetup::VerifyServiceRegistry(const DriverPackage& package)
{
    qv::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(package.Name).c_str(), 0, kCheckAccess,
                        key.put()) != ERROR_SUCCESS)
        return false;

    const DwordValue type = ReadDword(key.get(), L"Type");
    if (!type.IsDword() || (type.Data & kDriverTypeBits) == 0) {
        LogLine(Log, L"RegQueryValue(\"%s\":0x%lx, Type:%lu) = 0x%lx\n", L"Type", type.Data,
                type.Type, static_cast<DWORD>(type.Status));
        return false;
    }
    const DwordValue start = ReadDword(key.get(), L"Start");
    if (!start.IsDword()) {
        LogLine(Log, L"RegQueryValue(\"%s\":%lu, Type:%lu) = 0x%lx\n", L"Start", start.Data,
                start.Type, static_cast<DWORD>(start.Status));
        return false;
    }
    const DwordValue errorControl = ReadDword(key.get(), L"ErrorControl");
    if (!errorControl.IsDword() || errorControl.Data > SERVICE_ERROR_CRITICAL) {
        LogLine(Log, L"RegQueryValue(\"%s\":%lu, Type:%lu) = 0x%lx\n", L"ErrorControl",
                errorControl.Data, errorControl.Type, static_cast<DWORD>(errorControl.Status));
        return false;
    }
    const std::wstring expected =
        L"system32\\DRIVERS\\" + std::filesystem::path(package.SysPath).filename().wstring();
    return ImagePathMatches(key.get(), expected, Log);
}

void RepairServiceStartValues(const std::wstring& name, WideLogFn log)
{
    if (name.empty())
        return;
    qv::unique_hkey key = CreateServiceKey(name, log);
    if (!key)
        return;
    RepairDword(key.get(), L"Start", log, [](DWORD) { return true; });
    RepairDword(key.get(), L"ErrorControl", log, [](DWORD v) { return v <= SERVICE_ERROR_CRITICAL; });
}

void RepairServiceType(const std::wstring& name, WideLogFn log)
{
    if (name.empty())
        return;
    qv::unique_hkey key = CreateServiceKey(name, log);
    if (!key)
        return;
    const DwordValue type = ReadDword(key.get(), L"Type");
    if (type.IsDword())
        return;
    LogLine(log, L"RegQueryValue(\"%s\":%lu, Type:%lu) = 0x%lx\n", L"Type", type.Data, type.Type,
            static_cast<DWORD>(type.Status));
    const DWORD serviceType = ServiceTypeFromManager(name);
    const LSTATUS written = WriteDword(key.get(), L"Type", serviceType);
    // Required: %u here, where the other set line has %lu; keep it.
    LogLine(log, L"RegSetValue(\"%s\":%lu, Type:%u) = 0x%lx\n", L"Type", serviceType,
            static_cast<unsigned>(REG_DWORD), static_cast<DWORD>(written));
}

} // namespace Orvane
