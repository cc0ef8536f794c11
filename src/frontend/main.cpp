#include "common/system_library.h"
#include "frontend/command_line.h"

#include <windows.h>

#include <cstdlib>

namespace {

/// No system box may wait for a click where nobody sits: no "There is no
/// disk in the drive" box for a path on an empty removable or network drive
/// (critical errors go to the caller as errors), no box for a file that
/// cannot be opened, and no error-reporting dialog for a crash, which ends
/// the process at once with the exception's code as its exit code.
void SilenceSystemDialogs()
{
    constexpr UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;
    // SetErrorMode replaces the whole mode and can only be read by setting
    // it: set ours, then add back what the process had (inherited from its
    // parent). Nothing else runs yet to see the moment between.
    const UINT inherited = ::SetErrorMode(kQuiet);
    ::SetErrorMode(inherited | kQuiet);
#if defined(_MSC_VER)
    // The static runtime's abort would ask for a fault report; end quietly (3).
    _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    SilenceSystemDialogs();
    // Before anything can load a DLL: only the system directory counts.
    qv::RestrictDllSearchToSystemDirectory();
    return static_cast<int>(RunCommandLine(argc, argv));
}
