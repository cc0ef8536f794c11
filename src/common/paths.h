// Path queries and path text on Windows rules. The queries go through the
// Win32 file API, so long paths and the "\\?\" form work wherever the
// system accepts them.
#pragma once

#include <string>

namespace qv {

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
