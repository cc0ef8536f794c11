// Deleting a file that may be in use, with deletion at the next restart as
// the fall-back.
//
// Failures in fileops/: Windows error codes returned as values. The
// hardlinks clean-up raises the file-system error inside and catches it at
// its own level (CleanupOstrelHardlinks), so nothing escapes this folder.
#pragma once

#include "driversetup/driver_package.h"

#include <windows.h>

#include <string>

namespace Orvane {

/// Deletes the regular file at `path`. When it cannot be deleted now, moves
/// it to a temporary name beside itself and registers that name for
/// deletion at the next restart. Returns 0 when deleted or deferred,
/// ERROR_FILE_NOT_FOUND when nothing is there, ERROR_BAD_FILE_TYPE when it
/// is not a regular file, else the Windows error of the rename or the
/// registration.
DWORD DeleteFileOrDefer(const std::wstring& path, WideLogFn log);

/// `path` with the extension of its last component (and any stream suffix
/// behind it) replaced by "." and `suffix`; a name without one gains it.
std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& suffix);

/// "%04lx%08llx" of the thread id and the tick count.
std::wstring TempSuffix();

/// Deletes the open file or folder through its handle (which needs DELETE
/// access): with POSIX semantics where the system offers them (Windows 10
/// 1709 and later, on file systems that support them), so that its name goes
/// at once even while another program holds it open with delete sharing;
/// else the classic way, where the name stays until the last handle closes.
/// `flags` adds FILE_DISPOSITION_FLAG_* bits to the POSIX request. 0, or the
/// Windows error (a read-only file fails unless `flags` ignores that).
DWORD DeleteByHandle(HANDLE file, DWORD flags);

} // namespace Orvane
