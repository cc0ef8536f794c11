// Path queries and path text on Windows rules. The queries go through the
// Win32 file API, so long paths and the "\\?\" form work wherever the
// system accepts them.
#pragma once

#include "common/unique_handle.h"

#include <windows.h>

#include <string>

namespace qv {

/// "\\" or "/", the two separators Windows accepts.
inline bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

/// Opens what is at `path` for its attributes only, links followed; an
/// empty owner when `path` is empty or the open fails.
unique_file OpenForAttributes(const std::wstring& path);

/// GetFullPathNameW of `path`, whatever its length; empty when it fails.
std::wstring FullPathName(const std::wstring& path);

/// The folder a query shaped like GetSystemDirectoryW names
/// (GetSystemWow64DirectoryW, GetWindowsDirectoryW, ...); empty when the
/// query fails or the folder is longer than MAX_PATH characters.
std::wstring QuerySystemFolder(UINT(WINAPI* query)(LPWSTR, UINT));

/// The full path of `module` (null: this program), in a buffer that grows
/// until the path fits (32,767 characters at the most); empty on failure.
std::wstring ModuleFileName(HMODULE module);

enum class PathKind { None, File, Directory, Other };

/// What is at `path`, following links; None when nothing is there or the
/// query fails for any reason.
PathKind QueryPathKind(const std::wstring& path);

/// Something of any kind is at `path` (links followed).
inline bool PathExists(const std::wstring& path) { return QueryPathKind(path) != PathKind::None; }

/// The size of the file at `path`, links followed; false when it cannot be
/// read or `path` is a directory (which has no size of its own).
bool QueryFileSize(const std::wstring& path, unsigned long long& size);

/// Creates `folder` with every missing folder above it, through the Win32
/// API (long paths and "\\?\" included). Failures are not reported: the
/// caller finds out when it uses the folder.
void CreateDirectories(const std::wstring& folder);

/// Lexical normalisation without touching the disk: "/" becomes "\", "."
/// components go, ".." removes the component before it; a trailing
/// separator stays. The root of a share ("\\server\share") and the "\\?\"
/// and "\\.\" prefixes are kept as they are.
std::wstring NormalizePath(const std::wstring& path);

} // namespace qv
