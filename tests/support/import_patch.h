// Redirected imports, for what the machine under test cannot produce (a
// refused service stop, memory integrity, another processor, a failing
// setup library, a fixed clock). The product is linked into the test exe,
// so every Win32 function it calls is reached through the exe's import
// address table: ImportPatch swaps one entry for its scope. Functions the
// product looks up at run time are replaced through ProcAddressOverride,
// which answers GetProcAddress for one export name while it lives.
// Replacements need the exact signature, WINAPI included. Install patches
// on the test's thread, before calling the product; they nest.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qvtest {

class ImportPatch {
public:
    /// Throws std::runtime_error when the exe does not import the function.
    /// `original`, when given, receives what the entry held before the patch.
    ImportPatch(const char* dllName, const char* functionName, void* replacement, void** original = nullptr);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    /// What the entry held before the patch.
    void* original() const { return slots_.front().second; }

private:
    std::vector<std::pair<void**, void*>> slots_;
};

/// `original`, when given, receives the function the patch replaces.
template <class F>
ImportPatch PatchImport(const char* dllName, const char* functionName, F* replacement, F** original = nullptr)
{
    return ImportPatch(dllName, functionName, reinterpret_cast<void*>(replacement), reinterpret_cast<void**>(original));
}

class ProcAddressOverride {
public:
    /// GetProcAddress answers `replacement` for `procName` in any module; a
    /// null replacement hides the export (ERROR_PROC_NOT_FOUND).
    template <class F>
    ProcAddressOverride(const char* procName, F* replacement)
        : ProcAddressOverride(procName, reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(replacement)))
    {
    }
    ProcAddressOverride(const char* procName, FARPROC replacement);
    ~ProcAddressOverride();
    ProcAddressOverride(const ProcAddressOverride&) = delete;
    ProcAddressOverride& operator=(const ProcAddressOverride&) = delete;

private:
    std::string name_;
};

} // namespace qvtest
