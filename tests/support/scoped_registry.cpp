#include "support/scoped_registry.h"

#include <stdexcept>
#include <utility>

namespace qvtest {

namespace {
constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr wchar_t kCurrentVersion[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
} // namespace

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name,
                                         const std::wstring& text)
    : root_(root), subkey_(std::move(subkey)), name_(std::move(name))
{
    Save();
    Write(REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name,
                                         DWORD value)
    : root_(root), subkey_(std::move(subkey)), name_(std::move(name))
{
    Save();
    Write(REG_DWORD, &value, sizeof(value));
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name, Delete)
    : root_(root), subkey_(std::move(subkey)), name_(std::move(name))
{
    Save();
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | kView, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name_.c_str());
        RegCloseKey(key);
    }
}

void ScopedRegistryValue::Save()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    if (RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, nullptr, &size) == ERROR_SUCCESS) {
        oldData_.resize(size);
        existed_ = RegQueryValueExW(key, name_.c_str(), nullptr, &oldType_, oldData_.data(),
                                    &size) == ERROR_SUCCESS;
        oldData_.resize(size);
    }
    RegCloseKey(key);
}

void ScopedRegistryValue::Write(DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_, subkey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open a registry key for a test");
    const LSTATUS status =
        RegSetValueExW(key, name_.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        throw std::runtime_error("cannot set a registry value for a test");
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    if (!existed_) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | kView, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, name_.c_str());
            RegCloseKey(key);
        }
        return;
    }
    try {
        Write(oldType_, oldData_.data(), static_cast<DWORD>(oldData_.size()));
    } catch (...) {
    }
}

ScopedWineVersion::ScopedWineVersion(const std::wstring& exeName, const std::wstring& version)
    : value_(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\" + exeName, L"Version", version)
{
}

ScopedWindowsBuild::ScopedWindowsBuild(const std::wstring& build, DWORD revision)
    : build_(HKEY_LOCAL_MACHINE, kCurrentVersion, L"CurrentBuildNumber", build),
      revision_(HKEY_LOCAL_MACHINE, kCurrentVersion, L"UBR", revision)
{
}

} // namespace qvtest
