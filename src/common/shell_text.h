// The shell's path and string helpers the command line uses, looked up where
// the system keeps them: in kernelbase.dll on Windows 8 and later (already
// loaded in every process), else in shlwapi.dll, loaded from the system
// directory only then. Linking shlwapi.dll would load the windowing
// libraries it depends on into every run of the tool, which costs it about
// half its start-up time.
#pragma once

#include <windows.h>
#include <shlwapi.h>

namespace qv {

struct ShellText {
    decltype(&::PathRemoveBlanksW) PathRemoveBlanks;
    decltype(&::PathUnquoteSpacesW) PathUnquoteSpaces;
    decltype(&::PathFindFileNameW) PathFindFileName;
    decltype(&::StrToIntW) StrToInt;
};

/// The four helpers, resolved on first use. Throws std::runtime_error when
/// the system has them nowhere.
const ShellText& GetShellText();

} // namespace qv
