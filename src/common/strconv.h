// Conversions between UTF-16 and UTF-8.
#pragma once

#include <string>

namespace qv {

/// UTF-16 to UTF-8. Text that is not valid UTF-16 (a lone surrogate) is
/// refused: throws std::runtime_error rather than substituting characters.
std::string WideToUtf8(const std::wstring& text);

/// UTF-16 to UTF-8 for text that must be shown whatever it holds, such as
/// wide text on a narrow log line ("%s": the runtime's "%ws" would drop the
/// whole line at a character beyond Latin-1 and write Latin-1 as single
/// bytes). A lone surrogate becomes U+FFFD; empty only when it fails.
std::string WideToUtf8Replacing(const std::wstring& text);

/// UTF-8 to UTF-16; invalid input is refused with std::runtime_error.
std::wstring Utf8ToWide(const std::string& text);

} // namespace qv
