// Readable text for the codes in the device client's diagnostic lines:
// Windows errors, NTSTATUS values and codes of the Windows internet
// libraries.
#pragma once

#include <windows.h>

#include <string>

namespace OstrelDriver {

/// The code as "0x%x", followed by a space and its message text in double
/// quotes when the system, "ntdll" or (for 12000 to 12499) the loaded
/// internet library has one. "0x0" for 0.
std::wstring DescribeErrorCode(DWORD code);

/// The message text for `code` from the message table of `module`, or from
/// the system table when `module` is null; English (United States) first,
/// then the user's default language. Trailing periods, spaces, tabs, CR and
/// LF are removed. Empty when no text is found.
std::wstring LoadMessageText(DWORD code, HMODULE module);

} // namespace OstrelDriver
