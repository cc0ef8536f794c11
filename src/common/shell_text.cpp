#include "common/shell_text.h"

#include "common/system_library.h"

#include <stdexcept>

namespace qv {

namespace {

/// All four from one module; false when the module lacks any of them.
bool ResolveFrom(HMODULE module, ShellText& text)
{
    text.PathRemoveBlanks = ModuleFunction<decltype(text.PathRemoveBlanks)>(module, "PathRemoveBlanksW");
    text.PathUnquoteSpaces = ModuleFunction<decltype(text.PathUnquoteSpaces)>(module, "PathUnquoteSpacesW");
    text.PathFindFileName = ModuleFunction<decltype(text.PathFindFileName)>(module, "PathFindFileNameW");
    text.StrToInt = ModuleFunction<decltype(text.StrToInt)>(module, "StrToIntW");
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
