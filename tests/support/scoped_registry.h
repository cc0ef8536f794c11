// Registry values changed for the span of a test and put back afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qvtest {

/// Sets (or, with the Delete constructor, removes) one value in the 64-bit
/// view and restores the previous value, or its absence, on destruction.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name, const std::wstring& text);
    ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name, DWORD value);
    struct Delete {};
    ScopedRegistryValue(HKEY root, std::wstring subkey, std::wstring name, Delete);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

private:
    void Save();
    void Write(DWORD type, const void* data, DWORD size);

    HKEY root_;
    std::wstring subkey_;
    std::wstring name_;
    bool existed_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
};

/// The Windows version Wine reports to one program, by its file name
/// ("win7", "win8", "win81", "win10"); the next process of that name sees it.
class ScopedWineVersion {
public:
    ScopedWineVersion(const std::wstring& exeName, const std::wstring& version);

private:
    ScopedRegistryValue value_;
};

/// The Windows 10 build and update revision, as the legacy-build test reads them.
class ScopedWindowsBuild {
public:
    ScopedWindowsBuild(const std::wstring& build, DWORD revision);

private:
    ScopedRegistryValue build_;
    ScopedRegistryValue revision_;
};

} // namespace qvtest
