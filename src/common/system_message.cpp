#include "common/system_message.h"

#include "common/unique_handle.h"

namespace qv {

std::wstring FormatSystemMessage(DWORD code, DWORD language)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                              FORMAT_MESSAGE_IGNORE_INSERTS |
                                              FORMAT_MESSAGE_FROM_SYSTEM,
                                          nullptr, code, language, reinterpret_cast<wchar_t*>(&text),
                                          0, nullptr);
    unique_hlocal owner(text);
    if (length == 0 || !text)
        return {};
    return std::wstring(text, length);
}

std::wstring SystemMessage(DWORD code)
{
    if (code == 0)
        return L"OK";
    std::wstring text = FormatSystemMessage(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (text.empty())
        text = FormatSystemMessage(code, 0);
    text.erase(text.find_last_not_of(L" \r\n\t") + 1);
    return text.empty() ? L"unknown error" : text;
}

} // namespace qv
