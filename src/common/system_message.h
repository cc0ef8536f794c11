// System message texts for Windows error codes.
#pragma once

#include <windows.h>

#include <string>

namespace qv {

/// The system table's message text for `code` in `language`, as
/// FormatMessageW gives it (inserts left as they stand, nothing trimmed);
/// empty when the system has no text.
std::wstring FormatSystemMessage(DWORD code, DWORD language);

/// The system's message text for `code` (English, United States, where the
/// system has it, else the language FormatMessageW picks for 0), trailing
/// white space removed; "OK" for 0 and "unknown error" when the system has
/// no text.
std::wstring SystemMessage(DWORD code);

} // namespace qv
