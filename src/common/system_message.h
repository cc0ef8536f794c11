// System message texts for Windows error codes.
#pragma once

#include <windows.h>

#include <string>

namespace qv {

/// The system's narrow message text for `code` (English, United States,
/// where the system has it), trailing white space removed; "OK" for 0 and
/// "unknown error" when the system has no text.
std::string SystemMessage(DWORD code);

} // namespace qv
