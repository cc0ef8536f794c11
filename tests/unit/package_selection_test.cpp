#include "ostrelsetup/ostrel_driver_setup.h"
#include "ostrelsetup/platform.h"

#include "support/fake_platform.h"
#include "support/import_patch.h"
#include "support/scoped_registry.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using qvtest::FakePlatform;
using qvtest::ScopedRegistryValue;
using qvtest::ScopedWindowsBuild;

constexpr USHORT kAmd64 = 0x8664;
constexpr USHORT kI386 = 0x014C;
constexpr USHORT kArm64 = 0xAA64;
constexpr USHORT kArm = 0x01C0;
constexpr USHORT kIa64 = 0x0200;

DriverPackage PackageFor(const std::wstring& directory)
{
    Orvane::OstrelDriverSetup setup(directory, nullptr);
    return setup.GetDriverPackage();
}

/// The package folder under C:\drv, e.g. L"Win10-x64"; empty for no package.
std::wstring Folder()
{
    const DriverPackage package = PackageFor(L"C:\\drv");
    if (package.InfPath.empty())
        return {};
    const std::wstring prefix = L"C:\\drv\\";
    const std::wstring suffix = L"\\QvOstrel.inf";
    EXPECT_EQ(package.InfPath.compare(0, prefix.size(), prefix), 0);
    return package.InfPath.substr(prefix.size(), package.InfPath.size() - prefix.size() - suffix.size());
}

TEST(PackageSelection, ReleaseAndProcessorPickTheFolderAndSections)
{
    ScopedWindowsBuild current(L"19045", 0);
    struct Case {
        DWORD major, minor;
        USHORT machine;
        const wchar_t* folder;
        const wchar_t* decoration;
    } cases[] = {
        {10, 0, kAmd64, L"Win10-x64", L"NTamd64"},  {10, 0, kI386, L"Win10-Win32", L"NTx86"},
        {10, 0, kArm64, L"Win10-ARM64", L"NTarm64"}, {6, 3, kAmd64, L"Win8-x64", L"NTamd64"},
        {6, 2, kI386, L"Win8-Win32", L"NTx86"},      {6, 1, kAmd64, L"Win7-x64", L"NTamd64"},
        {6, 1, kArm64, L"Win7-ARM64", L"NTarm64"},
    };
    for (const Case& c : cases) {
        FakePlatform platform(c.major, c.minor, c.machine);
        const DriverPackage package = PackageFor(L"C:\\drv");
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(Folder(), c.folder);
        EXPECT_EQ(package.Name, L"QvOstrel");
        EXPECT_EQ(package.SysPath, std::wstring(L"C:\\drv\\") + c.folder + L"\\QvOstrel.sys");
        EXPECT_EQ(package.CatPath, std::wstring(L"C:\\drv\\") + c.folder + L"\\QvOstrel.cat");
        EXPECT_EQ(package.InstallSection, std::wstring(L"Install.") + c.decoration);
        EXPECT_EQ(package.UninstallSection, std::wstring(L"Uninstall.") + c.decoration);
    }
}

TEST(PackageSelection, NoPackageBeforeWindows7OrOnOtherProcessors)
{
    for (USHORT machine : {kArm, kIa64, static_cast<USHORT>(0x1234)}) {
        FakePlatform platform(10, 0, machine);
        const DriverPackage package = PackageFor(L"C:\\drv");
        EXPECT_TRUE(package.Name.empty() && package.InfPath.empty() && package.SysPath.empty() &&
                    package.CatPath.empty() && package.InstallSection.empty() &&
                    package.UninstallSection.empty())
            << std::hex << machine;
    }
    FakePlatform vista(6, 0, kAmd64);
    EXPECT_TRUE(PackageFor(L"C:\\drv").Name.empty());
}

TEST(PackageSelection, LegacyBuildsSwitchAtTheirRevisionLimits)
{
    struct Case {
        const wchar_t* build;
        DWORD revision;
        bool legacy;
    } cases[] = {
        {L"17134", 319, true},  {L"17134", 320, false}, {L"14393", 2514, true},
        {L"14393", 2515, false}, {L"15063", 1357, true}, {L"15063", 1358, false},
        {L"16299", 698, true},   {L"16299", 699, false}, {L"17763", 0, false},
        {L"17763", 1, false},    {L"0", 0, false},
    };
    FakePlatform platform(10, 0, kAmd64);
    for (const Case& c : cases) {
        ScopedWindowsBuild build(c.build, c.revision);
        EXPECT_EQ(Folder(), c.legacy ? L"Win10-Legacy-x64" : L"Win10-x64")
            << c.build << " UBR " << c.revision;
    }
}

TEST(PackageSelection, LegacyTestReadsOnlyTextBuildNumbersAndAMissingRevisionIsZero)
{
    const wchar_t* key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    FakePlatform platform(10, 0, kAmd64);
    {
        ScopedWindowsBuild build(L"16299", 0);
        ScopedRegistryValue noRevision(HKEY_LOCAL_MACHINE, key, L"UBR", ScopedRegistryValue::Delete{});
        EXPECT_EQ(Folder(), L"Win10-Legacy-x64");
    }
    {
        ScopedWindowsBuild build(L"16299", 0);
        ScopedRegistryValue dwordBuild(HKEY_LOCAL_MACHINE, key, L"CurrentBuildNumber", DWORD{16299});
        EXPECT_EQ(Folder(), L"Win10-x64") << "a REG_DWORD build number reads as 0";
    }
    for (USHORT machine : {kI386, kArm64}) {
        FakePlatform other(10, 0, machine);
        ScopedWindowsBuild build(L"17134", 1);
        EXPECT_EQ(Folder().find(L"Legacy"), std::wstring::npos);
    }
}

TEST(PackageSelection, DirectoryJoinsFollowWindowsPathRules)
{
    FakePlatform platform(10, 0, kAmd64);
    ScopedWindowsBuild current(L"19045", 0);
    EXPECT_EQ(PackageFor(L"C:\\drv\\").InfPath, L"C:\\drv\\Win10-x64\\QvOstrel.inf");
    EXPECT_EQ(PackageFor(L"").InfPath, L"Win10-x64\\QvOstrel.inf");
    EXPECT_EQ(PackageFor(L"C:").InfPath, L"C:Win10-x64\\QvOstrel.inf");
    EXPECT_EQ(PackageFor(L"\\\\server\\share").InfPath, L"\\\\server\\share\\Win10-x64\\QvOstrel.inf");
    EXPECT_EQ(PackageFor(L"").InstallSection, PackageFor(L"D:\\x").InstallSection);
}

// The processor, when IsWow64Process2 is missing or fails: GetNativeSystemInfo.
WORD g_systemInfoArchitecture = 0;
void WINAPI FakeGetNativeSystemInfo(SYSTEM_INFO* info)
{
    *info = {};
    info->wProcessorArchitecture = g_systemInfoArchitecture;
}
BOOL WINAPI FailingIsWow64Process2(HANDLE, USHORT*, USHORT*)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST(NativeArchitecture, MachineValuesMapAndTheFallbackIsGetNativeSystemInfo)
{
    EXPECT_EQ(Orvane::GetNativeArchitecture(), PROCESSOR_ARCHITECTURE_AMD64) << "Wine on x86_64";
    const struct {
        USHORT machine;
        WORD architecture;
    } map[] = {{kI386, 0}, {kArm, 5}, {kIa64, 6}, {kAmd64, 9}, {kArm64, 12}, {0x01F0, 0xFFFF}};
    for (const auto& m : map) {
        FakePlatform platform(10, 0, m.machine);
        EXPECT_EQ(Orvane::GetNativeArchitecture(), m.architecture) << std::hex << m.machine;
    }

    auto systemInfo = qvtest::PatchImport("kernel32.dll", "GetNativeSystemInfo", &FakeGetNativeSystemInfo);
    g_systemInfoArchitecture = 12;
    {
        qvtest::ProcAddressOverride missing("IsWow64Process2", nullptr);
        EXPECT_EQ(Orvane::GetNativeArchitecture(), 12);
    }
    {
        qvtest::ProcAddressOverride failing("IsWow64Process2", &FailingIsWow64Process2);
        g_systemInfoArchitecture = 0;
        EXPECT_EQ(Orvane::GetNativeArchitecture(), 0);
    }
}

// Without RtlVerifyVersionInfo the answer comes from VerifyVersionInfoW,
// which tells the truth only to a program whose manifest declares the newer
// releases. This binary carries the tool's manifest; a child process runs
// under a Windows version set for this program's name alone.
TEST(VersionFallback, DISABLED_ChildSeesTheReleaseThroughVerifyVersionInfo)
{
    qvtest::ProcAddressOverride hidden("RtlVerifyVersionInfo", nullptr);
    const char* expected = std::getenv("QV_EXPECTED_FOLDER");
    ASSERT_NE(expected, nullptr);
    const std::wstring folder = Folder();
    EXPECT_EQ(std::string(folder.begin(), folder.end()), expected);
}

TEST(VersionFallback, VerifyVersionInfoWTellsTheTruthWithTheManifest)
{
    ScopedWindowsBuild current(L"19045", 0);
    const struct {
        const wchar_t* wine;
        const char* folder;
    } cases[] = {{L"win10", "Win10-x64"}, {L"win81", "Win8-x64"}, {L"win8", "Win8-x64"}, {L"win7", "Win7-x64"}};
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const auto& c : cases) {
        qvtest::ScopedWineVersion version(L"unit_tests.exe", c.wine);
        SetEnvironmentVariableA("QV_EXPECTED_FOLDER", c.folder);
        const qvtest::RunResult child = qvtest::RunProgramLine(
            self, std::wstring(L"--gtest_also_run_disabled_tests "
                               L"--gtest_filter=VersionFallback.DISABLED_ChildSeesTheReleaseThroughVerifyVersionInfo"));
        EXPECT_EQ(child.exitCode, 0u) << c.folder << "\n" << child.output;
        EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
    }
    SetEnvironmentVariableA("QV_EXPECTED_FOLDER", nullptr);
}

} // namespace
