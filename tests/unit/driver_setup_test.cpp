#include "driversetup/driver_setup.h"
#include "driversetup/redirection_scope.h"
#include "driversetup/versions.h"
#include "frontend/commands.h"

#include "support/import_patch.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace fs = std::filesystem;
using qvtest::ScratchFolder;
using qvtest::WriteFileBytes;

DriverPackage PackageIn(const fs::path& folder)
{
    return {L"QvOstrel",
            (folder / L"QvOstrel.inf").wstring(),
            (folder / L"QvOstrel.sys").wstring(),
            (folder / L"QvOstrel.cat").wstring(),
            L"Install.NTamd64",
            L"Uninstall.NTamd64"};
}

TEST(DriverSetupPackage, CompleteNeedsANameThreeExistingFilesAndBothSections)
{
    ScratchFolder scratch;
    DriverPackage package = PackageIn(scratch.path());
    EXPECT_FALSE(Orvane::IsPackageComplete(package));
    WriteFileBytes(package.InfPath, "x");
    WriteFileBytes(package.SysPath, "x");
    EXPECT_FALSE(Orvane::IsPackageComplete(package)) << "catalog missing";
    fs::create_directories(package.CatPath);
    EXPECT_TRUE(Orvane::IsPackageComplete(package)) << "any object counts";

    DriverPackage noName = package;
    noName.Name.clear();
    DriverPackage noUninstall = package;
    noUninstall.UninstallSection.clear();
    EXPECT_FALSE(Orvane::IsPackageComplete(noName));
    EXPECT_FALSE(Orvane::IsPackageComplete(noUninstall));
    EXPECT_FALSE(Orvane::IsPackageComplete(DriverPackage{}));
}

TEST(DriverSetupPackage, DerivedPathsUseTheSystemDirectoryAndTheInfFolder)
{
    const std::wstring system = Orvane::GetSystemDirectoryPath();
    ASSERT_FALSE(system.empty());
    DriverPackage package = PackageIn(L"D:\\pkg\\Win10-x64");
    package.SysPath = L"D:/pkg/Win10-x64/Renamed.sys";
    EXPECT_EQ(Orvane::InstalledImagePath(package), system + L"\\drivers\\Renamed.sys");
    EXPECT_EQ(Orvane::InfDirectory(package), L"D:\\pkg\\Win10-x64");
    package.InfPath = L"C:\\QvOstrel.inf";
    EXPECT_EQ(Orvane::InfDirectory(package), L"C:\\") << "a root directory stays";
}

/// Records what the wrappers hand to the operations they wrap.
class RecordingSetup : public Orvane::DriverSetup {
public:
    RecordingSetup() : DriverSetup(L"C:\\drv", nullptr) {}
    DriverPackage GetDriverPackage() override
    {
        ++packages;
        return PackageIn(L"C:\\drv\\Win10-x64");
    }
    DWORD Setup(const DriverPackage& package, bool install, DWORD flags) override
    {
        calls.push_back({package.InfPath, install, flags});
        return 1234;
    }
    bool IsOutOfDate(const DriverPackage& package) override
    {
        calls.push_back({package.InfPath, false, 0});
        return true;
    }
    using DriverSetup::IsOutOfDate;

    struct Call {
        std::wstring inf;
        bool install;
        DWORD flags;
    };
    std::vector<Call> calls;
    int packages = 0;
};

int g_disabled = 0;
int g_reverted = 0;
BOOL g_disableResult = TRUE;
BOOL WINAPI CountingDisable(PVOID* old)
{
    ++g_disabled;
    *old = reinterpret_cast<PVOID>(static_cast<INT_PTR>(g_disabled));
    return g_disableResult;
}
BOOL WINAPI CountingRevert(PVOID) { return ++g_reverted, TRUE; }

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override { g_disabled = g_reverted = 0, g_disableResult = TRUE; }
    qvtest::ImportPatch disable_ = qvtest::PatchImport("kernel32.dll", "Wow64DisableWow64FsRedirection", &CountingDisable);
    qvtest::ImportPatch revert_ = qvtest::PatchImport("kernel32.dll", "Wow64RevertWow64FsRedirection", &CountingRevert);
};

TEST_F(WrapperTest, WrappersPassTheirFlagsMasksAndOpenARedirectionScope)
{
    RecordingSetup setup;
    EXPECT_EQ(setup.StartFlags, 1u);
    EXPECT_EQ(setup.ForceFlags, 2u);
    EXPECT_EQ(setup.InstallDriver(true), 1234u);
    EXPECT_EQ(setup.InstallDriver(false), 1234u);
    EXPECT_EQ(setup.UninstallDriver(true), 1234u);
    EXPECT_EQ(setup.UninstallDriver(false), 1234u);
    setup.StartFlags = 0;
    setup.InstallDriver(true);
    EXPECT_TRUE(setup.IsOutOfDate());

    ASSERT_EQ(setup.calls.size(), 6u);
    const DWORD flags[] = {1, 0, 2, 0, 0, 0};
    const bool install[] = {true, true, false, false, true, false};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(setup.calls[i].flags, flags[i]) << i;
        EXPECT_EQ(setup.calls[i].install, install[i]) << i;
        EXPECT_EQ(setup.calls[i].inf, L"C:\\drv\\Win10-x64\\QvOstrel.inf");
    }
    EXPECT_EQ(setup.packages, 6) << "the package is fetched afresh each time";
    EXPECT_EQ(g_disabled, 6);
    EXPECT_EQ(g_reverted, 6);
}

TEST_F(WrapperTest, ScopeRestoresOnlyWhatItTurnedOff)
{
    {
        Orvane::RedirectionScope outer;
        {
            Orvane::RedirectionScope inner;
            EXPECT_TRUE(inner.Active());
        }
        EXPECT_EQ(g_reverted, 1);
    }
    EXPECT_EQ(g_reverted, 2);
    g_disableResult = FALSE;
    {
        Orvane::RedirectionScope failed;
        EXPECT_FALSE(failed.Active());
    }
    EXPECT_EQ(g_reverted, 2) << "nothing restored after a failed disable";
}

/// Writes an INF with the given [Version] lines and reads its DriverVer.
bool ReadDriverVer(const std::string& versionLines, Orvane::VersionQuad& version)
{
    ScratchFolder scratch;
    const fs::path inf = scratch / L"QvOstrel.inf";
    WriteFileBytes(inf, "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\n" + versionLines + "\r\n");
    return Orvane::GetInfDriverVersion(inf.wstring(), version);
}

TEST(Versions, DriverVerParsesFourPartsFromTheEnd)
{
    Orvane::VersionQuad v;
    ASSERT_TRUE(ReadDriverVer("DriverVer=06/21/2006,6.1.7600.16385", v));
    EXPECT_EQ(Orvane::FormatVersion(v), "6.1.7600.16385");
    ASSERT_TRUE(ReadDriverVer("DriverVer = 01/02/2023,5.1.20.300", v));
    EXPECT_EQ(v.Ms, (5u << 16) | 1u);
    EXPECT_EQ(v.Ls, (20u << 16) | 300u);
    ASSERT_TRUE(ReadDriverVer("DriverVer=01/02/2023,70000.1.2.3", v));
    EXPECT_EQ(Orvane::FormatVersion(v), "4464.1.2.3") << "low 16 bits only";
    ASSERT_TRUE(ReadDriverVer("", v)) << "a missing entry reads as the default";
    EXPECT_EQ(Orvane::FormatVersion(v), "n/a");
}

TEST(Versions, DriverVerWithoutFourPartsFails)
{
    Orvane::VersionQuad v{1, 1};
    for (const char* line : {"DriverVer=01/02/2023,5.1.20", "DriverVer=01/02/2023,5", "DriverVer=5.1.2.3",
                             "DriverVer=x", "DriverVer=.1.2.3"}) {
        EXPECT_FALSE(ReadDriverVer(line, v)) << line;
        EXPECT_EQ(v, Orvane::VersionQuad{}) << line;
    }
    EXPECT_FALSE(Orvane::GetInfDriverVersion(L"", v));
}

TEST(Versions, FormatAndFileVersions)
{
    EXPECT_EQ(Orvane::FormatVersion({(1u << 16) | 2u, (3u << 16) | 4u}), "1.2.3.4");
    EXPECT_EQ(Orvane::FormatVersion({0, 1}), "0.0.0.1");
    EXPECT_EQ(Orvane::FormatVersion({0xFFFFFFFFu, 0xFFFFFFFFu}), "65535.65535.65535.65535");

    Orvane::VersionQuad v;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_TRUE(Orvane::GetFileVersion(self, v)) << "the test binary carries the version block";
    EXPECT_NE(v, Orvane::VersionQuad{});
    ScratchFolder scratch;
    WriteFileBytes(scratch / L"plain.sys", "no version here");
    EXPECT_FALSE(Orvane::GetFileVersion((scratch / L"plain.sys").wstring(), v));
    EXPECT_EQ(v, Orvane::VersionQuad{});
    EXPECT_FALSE(Orvane::GetFileVersion(L"", v));
}

TEST(ErrorCodeText, SystemTextWithoutItsEndAndOkForZero)
{
    EXPECT_EQ(ErrorCodeText(0), L"OK");
    const std::wstring denied = ErrorCodeText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    EXPECT_NE(denied.back(), L'.');
    EXPECT_NE(denied.back(), L'\n');
    EXPECT_NE(denied.find(L"ccess"), std::wstring::npos);
    EXPECT_EQ(ErrorCodeText(0xC000A000), L"") << "an NTSTATUS has no system text";
}

} // namespace
