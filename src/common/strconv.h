// Conversions between UTF-16 and UTF-8.
#pragma once

#include <string>

namespace qv {

/// UTF-16 to UTF-8. Text that is not valid UTF-16 (a lone surrogate) is
/// refused: throws std::runtime_error rather than substituting characters.
std::string WideToUtf8(const std::wstring& text);

/// UTF-8 to UTF-16; invalid input is refused with std::runtime_error.
std::wstring Utf8ToWide(const std::string& text);

} // namespace qv
