#include "driverclient/error_description.h"

#include <cstdio>

namespace OstrelDriver {

namespace {

constexpr size_t kHexChars = 16;      // "0x" and up to eight digits, terminated
constexpr DWORD kMessageChars = 512;  // the text of one message, terminated
constexpr DWORD kFirstInternetCode = 12000;
constexpr DWORD kLastInternetCode = 12499;
constexpr DWORD kFromModuleFlags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr DWORD kFromSystemFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY;
constexpr WORD kLanguages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), // 1033
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT)};   // 1024

static_assert(kFromModuleFlags == 0x2800 && kFromSystemFlags == 0x3000, "message flags");
static_assert(kLanguages[0] == 1033 && kLanguages[1] == 1024, "message languages");

/// The insert arguments of every message: sixteen zeros.
const DWORD_PTR kZeroInserts[16] = {};

/// FormatMessageW for one language into `text`; the length, 0 when there is
/// no text.
DWORD FormatOneLanguage(DWORD code, HMODULE module, WORD language, wchar_t* text)
{
    return ::FormatMessageW(module ? kFromModuleFlags : kFromSystemFlags, module, code, language,
                            text, kMessageChars,
                            reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(kZeroInserts)));
}

bool IsTrailingMessageChar(wchar_t c)
{
    return c == L'.' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

/// The message table that knows the internet libraries' codes: "wininet"
/// if the process has loaded it, else "winhttp", else none (the system's).
HMODULE InternetMessageModule()
{
    const HMODULE wininet = ::GetModuleHandleW(L"wininet");
    return wininet ? wininet : ::GetModuleHandleW(L"winhttp");
}

} // namespace

std::wstring LoadMessageText(DWORD code, HMODULE module)
{
    wchar_t text[kMessageChars];
    for (const WORD language : kLanguages) {
        DWORD length = FormatOneLanguage(code, module, language, text);
        if (length == 0)
            continue;
        while (length > 0 && IsTrailingMessageChar(text[length - 1]))
            --length;
        return std::wstring(text, length);
    }
    return {};
}

std::wstring DescribeErrorCode(DWORD code)
{
    wchar_t hex[kHexChars] = {};
    _snwprintf(hex, kHexChars - 1, L"0x%x", static_cast<unsigned>(code));
    if (code == 0)
        return hex;
    std::wstring text = LoadMessageText(code, nullptr);
    if (text.empty())
        text = LoadMessageText(code, ::GetModuleHandleW(L"ntdll"));
    if (text.empty() && code >= kFirstInternetCode && code <= kLastInternetCode)
        text = LoadMessageText(code, InternetMessageModule());
    if (text.empty())
        return hex;
    return std::wstring(hex) + L" \"" + text + L"\"";
}

} // namespace OstrelDriver
