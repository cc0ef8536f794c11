#include "common/strconv.h"

#include <windows.h>

#include <stdexcept>

namespace qv {

namespace {

/// UTF-16 to UTF-8 with WideCharToMultiByte's `flags`; false when it fails.
bool ConvertToUtf8(const std::wstring& text, DWORD flags, std::string& result)
{
    result.clear();
    if (text.empty())
        return true;
    const int length = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, flags, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return false;
    result.assign(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, flags, text.data(), length, &result[0], needed, nullptr, nullptr);
    return true;
}

} // namespace

std::string WideToUtf8(const std::wstring& text)
{
    std::string result;
    if (!ConvertToUtf8(text, WC_ERR_INVALID_CHARS, result))
        throw std::runtime_error("Text is not valid UTF-16");
    return result;
}

std::string WideToUtf8Replacing(const std::wstring& text)
{
    std::string result;
    ConvertToUtf8(text, 0, result);
    return result;
}

std::wstring Utf8ToWide(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int needed =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0)
        throw std::runtime_error("Text is not valid UTF-8");
    std::wstring result(static_cast<size_t>(needed), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, &result[0], needed);
    return result;
}

} // namespace qv
