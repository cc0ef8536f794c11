// Package selection on machines Wine cannot be: other Windows releases,
// processors and Windows 10 builds, through the version and processor
// queries the tool looks up at run time.
#include "ostrelsetup/driver_directory.h"
#include "ostrelsetup/ostrel_driver_setup.h"

#include "support/import_patch.h"
#include "common/strconv.h"
#include "support/qvtest.h"

#include <gtest/gtest.h>

namespace {

DWORD g_major, g_minor;
USHORT g_machine;

LONG WINAPI FakeVerifyVersion(OSVERSIONINFOEXW* info, DWORD, DWORDLONG)
{
    const bool atLeast = g_major > info->dwMajorVersion ||
                         (g_major == info->dwMajorVersion && g_minor >= info->dwMinorVersion);
    return atLeast ? 0 : static_cast<LONG>(0xC0000059);
}

BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* process, USHORT* native)
{
    *process = 0;
    *native = g_machine;
    return TRUE;
}

struct Machine {
    DWORD major, minor;
    USHORT machine;
    const wchar_t* build; // CurrentBuildNumber; null: a REG_DWORD 17134
    DWORD revision;       // UBR; ~0: none
    const wchar_t* folder; // empty: no package
    const wchar_t* decoration;
};

TEST(Platform, ReleaseProcessorAndBuildPickThePackage)
{
    const Machine machines[] = {
        {10, 0, 0x8664, L"19045", 0, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, L"17134", 319, L"Win10-Legacy-x64", L"NTamd64"},
        {10, 0, 0x8664, L"17134", 320, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, L"14393", 2514, L"Win10-Legacy-x64", L"NTamd64"},
        {10, 0, 0x8664, L"14393", 2515, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, L"15063", 1357, L"Win10-Legacy-x64", L"NTamd64"},
        {10, 0, 0x8664, L"15063", 1358, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, L"16299", 698, L"Win10-Legacy-x64", L"NTamd64"},
        {10, 0, 0x8664, L"16299", 699, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, L"16299", ~0u, L"Win10-Legacy-x64", L"NTamd64"},
        {10, 0, 0x8664, L"17763", 0, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x8664, nullptr, 0, L"Win10-x64", L"NTamd64"},
        {10, 0, 0x014C, L"17134", 319, L"Win10-Win32", L"NTx86"},
        {10, 0, 0xAA64, L"17134", 319, L"Win10-ARM64", L"NTarm64"},
        {6, 3, 0x8664, L"9600", 0, L"Win8-x64", L"NTamd64"},
        {6, 2, 0x014C, L"9200", 0, L"Win8-Win32", L"NTx86"},
        {6, 1, 0x8664, L"7601", 0, L"Win7-x64", L"NTamd64"},
        {6, 0, 0x8664, L"6002", 0, L"", L""},
        {10, 0, 0x01C4, L"19045", 0, L"", L""},
        {10, 0, 0x0200, L"19045", 0, L"", L""},
    };
    const wchar_t key[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    const qvtest::ProcAddressOverride version("RtlVerifyVersionInfo", &FakeVerifyVersion);
    const qvtest::ProcAddressOverride wow64("IsWow64Process2", &FakeIsWow64Process2);
    for (const Machine& m : machines) {
        g_major = m.major, g_minor = m.minor, g_machine = m.machine;
        const DWORD dwordBuild = 17134;
        const qvtest::ScopedValue build(key, L"CurrentBuildNumber", m.build ? REG_SZ : REG_DWORD,
                                        m.build ? static_cast<const void*>(m.build) : &dwordBuild,
                                        m.build ? DWORD((wcslen(m.build) + 1) * 2) : 4);
        const qvtest::ScopedValue revision(key, L"UBR", REG_DWORD, m.revision == ~0u ? nullptr : &m.revision, 4);
        const DriverPackage package = Orvane::OstrelDriverSetup(L"C:\\drv\\", nullptr).GetDriverPackage();
        const std::wstring folder = std::wstring(L"C:\\drv\\") + m.folder + L"\\QvOstrel.";
        SCOPED_TRACE(testing::Message() << m.major << "." << m.minor << " " << std::hex << m.machine << " "
                                        << (m.build ? m.build : L"dword") << " " << std::dec << m.revision);
        if (!*m.folder) {
            EXPECT_TRUE(package.Name.empty() && package.InfPath.empty() && package.InstallSection.empty());
            continue;
        }
        EXPECT_EQ(package.Name, L"QvOstrel");
        EXPECT_EQ(package.InfPath, folder + L"inf");
        EXPECT_EQ(package.SysPath, folder + L"sys");
        EXPECT_EQ(package.CatPath, folder + L"cat");
        EXPECT_EQ(package.InstallSection, std::wstring(L"Install.") + m.decoration);
        EXPECT_EQ(package.UninstallSection, std::wstring(L"Uninstall.") + m.decoration);
    }
}

/// Where the driver directory is found: the first of five places under the
/// base that holds the package's three files (files as named, folders too).
TEST(Platform, DriverDirectoryIsTheFirstPlaceWithTheWholePackage)
{
    const struct {
        std::vector<const wchar_t*> packages; // places under the base holding all three files
        std::vector<const wchar_t*> files;    // more files under the base
        const wchar_t* option;                // drivers-path=, {base} for the scratch folder
        const wchar_t* found;                 // below the build folder's top, or below {base}
    } layouts[] = {
        // Each place wins over the next when both hold the package.
        {{L"", L"drivers\\ostrel"}, {}, L"{base}", L"{base}\\"},
        {{L"drivers\\ostrel", L"drivers"}, {}, L"{base}", L"{base}\\drivers\\ostrel"},
        {{L"drivers", L"ostrel"}, {}, L"{base}", L"{base}\\drivers"},
        {{L"ostrel", L"QvOstrel"}, {}, L"{base}", L"{base}\\ostrel"},
        {{}, {L"drivers\\ostrel\\Win10-x64\\QvOstrel.inf", L"drivers\\ostrel\\Win10-x64\\QvOstrel.sys\\",
              L"drivers\\ostrel\\Win10-x64\\QvOstrel.cat"}, L"{base}", L"{base}\\drivers\\ostrel"},
        {{L"QvOstrel"}, {L"drivers\\Win10-x64\\QvOstrel.inf", L"drivers\\Win10-x64\\QvOstrel.sys"}, L"{base}",
         L"{base}\\QvOstrel"},
        {{}, {L"Win8-x64\\QvOstrel.inf", L"Win8-x64\\QvOstrel.sys", L"Win8-x64\\QvOstrel.cat"}, L"{base}", L""},
        {{}, {}, L"..\\testpkg", L"testpkg\\"},
        {{}, {}, L"../testpkg-v2/", L"testpkg-v2\\"},
        {{}, {}, L"..\\no-such-folder", L""},
    };
    for (const auto& layout : layouts) {
        qvtest::Scratch base;
        std::vector<std::wstring> files(layout.files.begin(), layout.files.end());
        for (const std::wstring place : layout.packages)
            for (const wchar_t* name : {L"QvOstrel.inf", L"QvOstrel.sys", L"QvOstrel.cat"})
                files.push_back((place.empty() ? place : place + L"\\") + L"Win10-x64\\" + name);
        for (const std::wstring& name : files) {
            if (name.back() == L'\\')
                qvtest::fs::create_directories(base / name);
            else
                qvtest::WriteBytes(base / name, "x");
        }
        const auto expand = [&](std::wstring text, bool relative) {
            if (text.rfind(L"{base}", 0) == 0)
                return base.path().wstring() + text.substr(6);
            return relative || text.empty() ? text : (qvtest::BuildFolder() / text).wstring();
        };
        EXPECT_EQ(Orvane::ResolveDriverDirectory(expand(layout.option, true)), expand(layout.found, false))
            << qv::WideToUtf8(layout.option) << " " << qv::WideToUtf8(files.empty() ? L"" : files.front());
    }
}

} // namespace
