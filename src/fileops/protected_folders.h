// Folders whose files the system needs to start: a volume root, the Windows
// directory and the system directories. The hardlinks clean-up never empties
// one of them, whatever path names it.
#pragma once

#include <string>

namespace Orvane {

/// Why `folder` must not be emptied ("a volume root", "the Windows
/// directory", "the system directory"), or null when it may be. Links and
/// junctions are followed, so another name for such a folder is caught too.
const wchar_t* ProtectedFolderReason(const std::wstring& folder);

/// The path a file or folder really has, links and junctions resolved;
/// empty when it cannot be opened.
std::wstring FinalPathOf(const std::wstring& path);

/// `path` in a form fit for comparison: full, without the "\\?\" prefix
/// ("\\?\UNC\" becomes "\\"), without trailing separators except a bare
/// drive's, in lower case.
std::wstring ComparablePath(const std::wstring& path);

} // namespace Orvane
