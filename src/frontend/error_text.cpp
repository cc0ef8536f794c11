#include "frontend/commands.h"

#include "common/unique_handle.h"

std::wstring ErrorCodeText(DWORD code)
{
    if (code == 0)
        return L"OK";
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    qv::unique_hlocal owner(text);
    if (length == 0 || !text)
        return {};
    std::wstring result(text, length);
    while (!result.empty()) {
        const wchar_t last = result.back();
        if (last != L'\n' && last != L'\r' && last != L' ' && last != L'.')
            break;
        result.pop_back();
    }
    return result;
}
