#include "frontend/commands.h"

#include "common/system_message.h"

std::wstring ErrorCodeText(DWORD code)
{
    if (code == 0)
        return L"OK";
    std::wstring text = qv::FormatSystemMessage(code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    text.erase(text.find_last_not_of(L"\n\r .") + 1);
    return text;
}
