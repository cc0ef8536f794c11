#include "common/system_message.h"

#include "common/unique_handle.h"

namespace qv {

namespace {

/// FormatMessageA for one language; empty when the system has no text.
std::string FormatSystemMessage(DWORD code, DWORD language)
{
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                              FORMAT_MESSAGE_IGNORE_INSERTS |
                                              FORMAT_MESSAGE_FROM_SYSTEM,
                                          nullptr, code, language, reinterpret_cast<char*>(&text),
                                          0, nullptr);
    unique_hlocal owner(text);
    if (length == 0 || !text)
        return {};
    return std::string(text, length);
}

} // namespace

std::string SystemMessage(DWORD code)
{
    if (code == 0)
        return "OK";
    std::string text = FormatSystemMessage(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (text.empty())
        text = FormatSystemMessage(code, 0);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                             text.back() == '\t'))
        text.pop_back();
    return text.empty() ? "unknown error" : text;
}

} // namespace qv
