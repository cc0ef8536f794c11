#include "driversetup/versions.h"

#include "common/system_library.h"
#include "common/unique_handle.h"

#include <cstdio>
#include <cstdint>

/// version.dll's export `fn`, looked up at each use: the exe does not import
/// it, so it is loaded from the system directory by the commands that read
/// file versions. Null when it is missing.
#define ORVANE_VERSION_FUNCTION(fn) ::qv::SystemFunction<decltype(&::fn)>(L"version.dll", #fn)

namespace Orvane {

namespace {

constexpr wchar_t kDefaultDriverVer[] = L"00/00/0000,0.0.0.0";
constexpr DWORD kDriverVerChars = 128;

/// The index of the last `ch` before `end`, never looking at index 0;
/// 0 when there is none. Required: index 0 stays unexamined; keep it.
size_t FindBackward(const wchar_t* text, size_t end, wchar_t ch)
{
    for (size_t i = end; i > 1;) {
        --i;
        if (text[i] == ch)
            return i;
    }
    return 0;
}

/// The decimal number at the start of `text`, up to the first non-digit,
/// cut to its low 16 bits.
WORD ParseVersionPart(const wchar_t* text)
{
    uint64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
        value = value * 10 + static_cast<uint64_t>(*text - L'0');
    return static_cast<WORD>(value & 0xFFFF);
}

} // namespace

bool GetFileVersion(const std::wstring& path, VersionQuad& version)
{
    version = {};
    if (path.empty())
        return false;
    DWORD ignored = 0;
    const DWORD size =
        qv::CallIfFound(ORVANE_VERSION_FUNCTION(GetFileVersionInfoSizeW), 0ul, path.c_str(), &ignored);
    if (size == 0)
        return false;
    // Required: movable global memory, locked; keep it.
    qv::unique_hglobal memory(::GlobalAlloc(GMEM_MOVEABLE, size));
    if (!memory)
        return false;
    void* data = ::GlobalLock(memory.get());
    if (!data)
        return false;
    bool found = false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoLength = 0;
    if (qv::CallIfFound(ORVANE_VERSION_FUNCTION(GetFileVersionInfoW), FALSE, path.c_str(), 0ul, size,
                        data) &&
        qv::CallIfFound(ORVANE_VERSION_FUNCTION(VerQueryValueW), FALSE, static_cast<const void*>(data),
                        L"\\", reinterpret_cast<void**>(&info), &infoLength) &&
        info && infoLength >= sizeof(VS_FIXEDFILEINFO)) {
        version.Ms = info->dwFileVersionMS;
        version.Ls = info->dwFileVersionLS;
        found = true;
    }
    ::GlobalUnlock(memory.get());
    return found;
}

bool GetInfDriverVersion(const std::wstring& infPath, VersionQuad& version)
{
    version = {};
    if (infPath.empty())
        return false;
    wchar_t text[kDriverVerChars] = {};
    ::GetPrivateProfileStringW(L"Version", L"DriverVer", kDefaultDriverVer, text, kDriverVerChars,
                               infPath.c_str());
    if (text[0] == L'\0')
        return false;

    // Walk from the end: .d, .c, .b, then ,a.
    WORD parts[4] = {};
    const wchar_t separators[4] = {L'.', L'.', L'.', L','};
    size_t end = wcslen(text);
    for (int i = 0; i < 4; ++i) {
        const size_t at = FindBackward(text, end, separators[i]);
        if (at == 0)
            return false;
        parts[3 - i] = ParseVersionPart(text + at + 1);
        text[at] = L'\0';
        end = at;
    }
    version.Ms = (static_cast<DWORD>(parts[0]) << 16) | parts[1];
    version.Ls = (static_cast<DWORD>(parts[2]) << 16) | parts[3];
    return true;
}

std::string FormatVersion(const VersionQuad& version)
{
    if (version.Ms == 0 && version.Ls == 0)
        return "n/a";
    char text[32] = {};
    _snprintf(text, sizeof(text) - 1, "%hu.%hu.%hu.%hu", HIWORD(version.Ms), LOWORD(version.Ms),
              HIWORD(version.Ls), LOWORD(version.Ls));
    return text;
}

} // namespace Orvane
