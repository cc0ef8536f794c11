#include "ostrelsetup/platform.h"

#include "common/system_library.h"
#include "common/unique_handle.h"

#include <cwchar>

namespace Orvane {

namespace {

using RtlVerifyVersionInfoFn = LONG(WINAPI*)(OSVERSIONINFOEXW*, DWORD, DWORDLONG);
using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

constexpr USHORT kMachineI386 = 0x014C;
constexpr USHORT kMachineArm = 0x01C0;
constexpr USHORT kMachineIa64 = 0x0200;
constexpr USHORT kMachineAmd64 = 0x8664;
constexpr USHORT kMachineArm64 = 0xAA64;
constexpr WORD kArchitectureArm64 = 12;
constexpr WORD kArchitectureUnknown = 0xFFFF;

/// Windows 10 builds served by the legacy package while their update
/// revision (UBR) is below the limit.
struct LegacyBuild {
    unsigned long Build;
    DWORD RevisionLimit;
};
constexpr LegacyBuild kLegacyBuilds[] = {
    {14393, 2515},
    {15063, 1358},
    {16299, 699},
    {17134, 320},
};

WORD MachineToArchitecture(USHORT machine)
{
    switch (machine) {
    case kMachineI386: return PROCESSOR_ARCHITECTURE_INTEL;
    case kMachineArm: return PROCESSOR_ARCHITECTURE_ARM;
    case kMachineIa64: return PROCESSOR_ARCHITECTURE_IA64;
    case kMachineAmd64: return PROCESSOR_ARCHITECTURE_AMD64;
    case kMachineArm64: return kArchitectureArm64;
    default: return kArchitectureUnknown;
    }
}

/// The build number from "CurrentBuildNumber"; 0 when it is not text.
unsigned long ReadBuildNumber(HKEY key)
{
    wchar_t text[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof(text) - sizeof(wchar_t); // keep a terminating zero
    if (::RegQueryValueExW(key, L"CurrentBuildNumber", nullptr, &type,
                           reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS)
        return 0;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return 0;
    return std::wcstoul(text, nullptr, 10);
}

/// The update build revision; 0 when missing.
DWORD ReadUpdateRevision(HKEY key)
{
    DWORD revision = 0;
    DWORD size = sizeof(revision);
    // Required: neither the result nor the type of this read is looked at; keep it so.
    ::RegQueryValueExW(key, L"UBR", nullptr, nullptr, reinterpret_cast<BYTE*>(&revision), &size);
    return revision;
}

} // namespace

bool IsOsVersionAtLeast(WORD major, WORD minor)
{
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    DWORDLONG conditions = 0;
    conditions = ::VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = ::VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    const DWORD typeMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;

    if (const auto verify =
            qv::ModuleFunction<RtlVerifyVersionInfoFn>(::GetModuleHandleW(L"ntdll.dll"), "RtlVerifyVersionInfo"))
        return verify(&info, typeMask, conditions) == 0;
    return ::VerifyVersionInfoW(&info, typeMask, conditions) != FALSE;
}

WORD GetNativeArchitecture()
{
    const auto isWow64Process2 =
        qv::ModuleFunction<IsWow64Process2Fn>(::GetModuleHandleW(L"kernel32"), "IsWow64Process2");
    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    if (isWow64Process2 && isWow64Process2(::GetCurrentProcess(), &processMachine, &nativeMachine))
        return MachineToArchitecture(nativeMachine);
    SYSTEM_INFO info = {};
    ::GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture;
}

bool IsLegacyWindows10Build()
{
    qv::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                        KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return false;
    const unsigned long build = ReadBuildNumber(key.get());
    for (const LegacyBuild& legacy : kLegacyBuilds) {
        if (legacy.Build == build)
            return ReadUpdateRevision(key.get()) < legacy.RevisionLimit;
    }
    return false;
}

} // namespace Orvane
