// A machine of the test's choosing, as the package selection sees it: the
// Windows version through ntdll's RtlVerifyVersionInfo and the native
// processor through IsWow64Process2, both redirected for the scope.
#pragma once

#include "support/import_patch.h"

#include <windows.h>

#include <memory>

namespace qvtest {

class FakePlatform {
public:
    /// machine: an IMAGE_FILE_MACHINE_* value reported as the native machine.
    FakePlatform(DWORD major, DWORD minor, USHORT machine);

private:
    ProcAddressOverride version_;
    ProcAddressOverride wow64_;
};

} // namespace qvtest
