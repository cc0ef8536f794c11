// Folders whose files the system needs to start: a volume root, the Windows
// directory and the system directories. The hardlinks clean-up never empties
// one of them, whatever path names it: the folder is compared by what it is
// (its volume's serial number and its file index), not by its spelling.
#pragma once

#include <windows.h>

#include <string>

namespace Orvane {

/// What a file or folder is: its volume's serial number and its file index.
struct FileIdentity {
    DWORD Volume = 0;
    ULONGLONG Index = 0;
    bool operator==(const FileIdentity& other) const
    {
        return Volume == other.Volume && Index == other.Index;
    }
};

/// The identity of an open file or folder; false when it cannot be read.
bool QueryIdentity(HANDLE file, FileIdentity& identity);

/// The identity of what `path` names, links followed; false when nothing
/// can be opened there.
bool QueryIdentity(const std::wstring& path, FileIdentity& identity);

/// Why the folder open as `folder`, whose resolved path is `finalPath`,
/// must not be emptied ("the Windows directory", "the system directory",
/// "a volume root"), or null when it may be.
const wchar_t* ProtectedFolderReason(HANDLE folder, const std::wstring& finalPath);

/// The same for a path, links followed. A bare drive ("C:", "\\?\C:\") is
/// a volume root whatever the drive's current folder; any other path with
/// nothing behind it is null.
const wchar_t* ProtectedFolderReason(const std::wstring& folder);

/// A bare drive as written: "C:", "C:\", "\\?\C:" and the like. It names
/// the current folder of that drive, which may be any folder on it.
bool IsBareDrive(const std::wstring& folder);

/// The path an open file or folder really has ("\\?\" form), links and
/// junctions resolved; empty when it cannot be read.
std::wstring FinalPathOf(HANDLE file);

/// The same for a path; empty when it cannot be opened.
std::wstring FinalPathOf(const std::wstring& path);

/// `path` in a form fit for comparison: full, without the "\\?\" prefix
/// ("\\?\UNC\" becomes "\\"), without trailing separators except a bare
/// drive's, in lower case.
std::wstring ComparablePath(const std::wstring& path);

} // namespace Orvane
