#include "common/system_library.h"
#include "frontend/command_line.h"

int wmain(int argc, wchar_t* argv[])
{
    // Before anything can load a DLL: only the system directory counts.
    qv::RestrictDllSearchToSystemDirectory();
    return static_cast<int>(RunCommandLine(argc, argv));
}
