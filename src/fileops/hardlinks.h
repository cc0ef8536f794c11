// Emptying and removing the hardlinks folder after an uninstall.
#pragma once

#include <string>

namespace Orvane {

/// Deletes every entry directly inside `folder`; an entry that cannot be
/// deleted is moved to the temporary directory and deleted at restart, or,
/// when it cannot be moved, deleted at restart where it stands. Then removes
/// the folder, or registers it for removal at restart. Every outcome is
/// logged. The folder is opened once and held for the whole clean-up; each
/// entry is worked on through a handle proven to lie in it, and every path
/// acted on is built from the held folder's resolved path. A volume root,
/// the Windows directory or a system directory, under whatever name, is
/// refused with one line and left untouched. False when the folder was
/// refused or could not be listed (or memory ran out); true otherwise, also
/// when there is no folder (and then nothing is logged).
bool CleanupOstrelHardlinks(std::wstring folder);

/// A full path in the temporary directory that names no existing file; no
/// file is created.
std::wstring GetUniqueTempPath();

} // namespace Orvane
