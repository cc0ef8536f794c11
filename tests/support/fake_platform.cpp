#include "support/fake_platform.h"

namespace qvtest {

namespace {

DWORD g_major = 0;
DWORD g_minor = 0;
USHORT g_machine = 0;

constexpr LONG kStatusRevisionMismatch = static_cast<LONG>(0xC0000059);

LONG WINAPI FakeRtlVerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD, DWORDLONG)
{
    const bool atLeast = g_major > info->dwMajorVersion ||
                         (g_major == info->dwMajorVersion && g_minor >= info->dwMinorVersion);
    return atLeast ? 0 : kStatusRevisionMismatch;
}

BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* processMachine, USHORT* nativeMachine)
{
    *processMachine = 0;
    *nativeMachine = g_machine;
    return TRUE;
}

} // namespace

FakePlatform::FakePlatform(DWORD major, DWORD minor, USHORT machine)
    : version_("RtlVerifyVersionInfo", &FakeRtlVerifyVersionInfo),
      wow64_("IsWow64Process2", &FakeIsWow64Process2)
{
    g_major = major;
    g_minor = minor;
    g_machine = machine;
}

} // namespace qvtest
