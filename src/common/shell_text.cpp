#include "common/shell_text.h"

#include "common/system_library.h"

#include <stdexcept>

namespace qv {

namespace {

template <class F>
F Lookup(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
}

/// All four from one module; false when the module lacks any of them.
bool ResolveFrom(HMODULE module, ShellText& text)
{
    text.PathRemoveBlanks = Lookup<decltype(text.PathRemoveBlanks)>(module, "PathRemoveBlanksW");
    text.PathUnquoteSpaces = Lookup<decltype(text.PathUnquoteSpaces)>(module, "PathUnquoteSpacesW");
    text.PathFindFileName = Lookup<decltype(text.PathFindFileName)>(module, "PathFindFileNameW");
    text.StrToInt = Lookup<decltype(text.StrToInt)>(module, "StrToIntW");
    return text.PathRemoveBlanks && text.PathUnquoteSpaces && text.PathFindFileName && text.StrToInt;
}

ShellText Resolve()
{
    ShellText text = {};
    if (ResolveFrom(::GetModuleHandleW(L"kernelbase.dll"), text))
        return text;
    if (ResolveFrom(SystemModule(L"shlwapi.dll"), text))
        return text;
    throw std::runtime_error("The shell's path functions are not available");
}

} // namespace

const ShellText& GetShellText()
{
    static const ShellText text = Resolve();
    return text;
}

} // namespace qv
