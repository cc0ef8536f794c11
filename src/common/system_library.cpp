#include "common/system_library.h"

#include "common/last_error.h"
#include "common/paths.h"

#include <cwchar>
#include <string>

namespace qv {

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

/// SetDefaultDllDirectories, where the loader has it. The LOAD_LIBRARY_SEARCH_*
/// flags of LoadLibraryExW came with it.
SetDefaultDllDirectoriesFn SearchRestriction()
{
    return ModuleFunction<SetDefaultDllDirectoriesFn>(::GetModuleHandleW(L"kernel32.dll"),
                                                      "SetDefaultDllDirectories");
}

/// A 32-bit process on 64-bit Windows.
bool RunsUnderWow64()
{
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
}

/// Loads `name` from the system directory; a DLL it depends on is looked
/// for there first too, never in the program's folder.
HMODULE LoadFromSystemFolder(const wchar_t* name)
{
    const bool wow64 = RunsUnderWow64();
    if (!wow64 && SearchRestriction())
        return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // This process's own system DLLs, by a path that WOW64 file-system
    // redirection does not change: engine operations load DLLs while
    // redirection is off for their thread.
    const std::wstring folder = QuerySystemFolder(wow64 ? ::GetSystemWow64DirectoryW : ::GetSystemDirectoryW);
    if (folder.empty())
        return nullptr;
    const std::wstring path = folder + L"\\" + name;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

struct LoadedModule {
    const wchar_t* Name;
    HMODULE Module;
};

SRWLOCK g_lock = SRWLOCK_INIT;
LoadedModule g_loaded[8] = {};
size_t g_loadedCount = 0;

} // namespace

void RestrictDllSearchToSystemDirectory()
{
    if (const SetDefaultDllDirectoriesFn restrict = SearchRestriction())
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE SystemModule(const wchar_t* name)
{
    ::AcquireSRWLockExclusive(&g_lock);
    HMODULE module = nullptr;
    for (size_t i = 0; i < g_loadedCount && module == nullptr; ++i)
        if (_wcsicmp(g_loaded[i].Name, name) == 0)
            module = g_loaded[i].Module;
    if (module == nullptr) {
        module = LoadFromSystemFolder(name);
        if (module == nullptr)
            ::SetLastError(LastErrorOr(ERROR_MOD_NOT_FOUND));
        if (module != nullptr && g_loadedCount < sizeof(g_loaded) / sizeof(g_loaded[0]))
            g_loaded[g_loadedCount++] = {name, module};
    }
    const DWORD error = ::GetLastError();
    ::ReleaseSRWLockExclusive(&g_lock);
    ::SetLastError(error);
    return module;
}

} // namespace qv
