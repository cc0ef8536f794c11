// System DLLs beyond the few that every process maps at start, loaded from
// the system directory only. The tool runs elevated from folders others may
// be able to write to, and Windows looks for a DLL that is not one of its
// KnownDLLs in the program's own folder first: a file planted there under
// such a name would run with the tool's rights. So the exe imports nothing
// but kernel32, advapi32, msvcrt and ntdll, and every other DLL is loaded
// here, by the command that needs it, when it first needs it.
#pragma once

#include <windows.h>

namespace qv {

/// Restricts the DLL search of the whole process to the system directory
/// where the system offers it (SetDefaultDllDirectories: Windows 8 and
/// later, Windows 7 with its loader update). The first call in wmain.
void RestrictDllSearchToSystemDirectory();

/// The system DLL `name` (a literal such as L"setupapi.dll"), loaded from
/// the system directory on first use and held until the process ends.
/// Null, with the thread's last error set (as a rule ERROR_MOD_NOT_FOUND),
/// when it cannot be loaded; a later call tries again.
HMODULE SystemModule(const wchar_t* name);

/// The export `name` of `module` as a pointer of type F; null when `module`
/// is null or lacks it. For DLLs every process maps at start, `module` is
/// ::GetModuleHandleW(L"kernel32.dll") or the like.
template <class F>
F ModuleFunction(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

/// The export `name` of the system DLL `dll`, looked up at each call, as a
/// pointer of type F. Null, with the thread's last error set to
/// ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND, when either is missing.
template <class F>
F SystemFunction(const wchar_t* dll, const char* name)
{
    const HMODULE module = SystemModule(dll);
    if (module == nullptr)
        return nullptr;
    const F function = ModuleFunction<F>(module, name);
    if (function == nullptr)
        ::SetLastError(ERROR_PROC_NOT_FOUND);
    return function;
}

/// `function(args...)`, or `failed` when `function` is null (its look-up
/// has set the thread's last error).
template <class F, class R, class... Args>
R CallIfFound(F function, R failed, Args... args)
{
    return function != nullptr ? function(args...) : failed;
}

} // namespace qv
