#include "ostrelsetup/driver_directory.h"

#include "common/paths.h"

#include "support/fake_platform.h"
#include "support/import_patch.h"
#include "support/scoped_registry.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using qvtest::ScratchFolder;

std::wstring g_programPath;

DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    const DWORD length = static_cast<DWORD>(g_programPath.size());
    if (length >= size)
        return 0;
    wcscpy(buffer, g_programPath.c_str());
    return length;
}

/// A machine with 64-bit Windows 10 of a current build, and the program at
/// <scratch>\Tools\tool.exe.
class DriverDirectoryTest : public ::testing::Test {
protected:
    DriverDirectoryTest()
        : platform_(10, 0, 0x8664), build_(L"19045", 0),
          module_(qvtest::PatchImport("kernel32.dll", "GetModuleFileNameW", &FakeGetModuleFileNameW))
    {
        g_programPath = (tools() / L"tool.exe").wstring();
        fs::create_directories(tools());
    }

    fs::path root() const { return scratch_.path(); }
    fs::path tools() const { return root() / L"Tools"; }

    /// Lays out the package under `base`, leaving out the files named.
    static void AddPackage(const fs::path& base, const std::wstring& without = L"")
    {
        for (const wchar_t* file : {L"QvOstrel.inf", L"QvOstrel.sys", L"QvOstrel.cat"}) {
            if (without != file)
                qvtest::WriteFileBytes(base / L"Win10-x64" / file, "x");
        }
    }

    static std::wstring Resolve(const std::wstring& option)
    {
        return Orvane::ResolveDriverDirectory(option);
    }

    ScratchFolder scratch_;
    qvtest::FakePlatform platform_;
    qvtest::ScopedWindowsBuild build_;
    qvtest::ImportPatch module_;
};

TEST_F(DriverDirectoryTest, ProgramFolderItselfComesFirstWithATrailingSeparator)
{
    EXPECT_EQ(Resolve(L""), L"") << "no package anywhere";
    AddPackage(tools() / L"drivers");
    AddPackage(tools());
    EXPECT_EQ(Resolve(L""), tools().wstring() + L"\\");
}

TEST_F(DriverDirectoryTest, SubFoldersAreTriedInOrder)
{
    AddPackage(tools() / L"QvOstrel");
    EXPECT_EQ(Resolve(L""), (tools() / L"QvOstrel").wstring());
    AddPackage(tools() / L"ostrel");
    EXPECT_EQ(Resolve(L""), (tools() / L"ostrel").wstring());
    AddPackage(tools() / L"drivers");
    EXPECT_EQ(Resolve(L""), (tools() / L"drivers").wstring());
    AddPackage(tools() / L"drivers" / L"ostrel");
    EXPECT_EQ(Resolve(L""), (tools() / L"drivers" / L"ostrel").wstring());
}

TEST_F(DriverDirectoryTest, EveryPackageFileMustExistAndAFolderCountsAsAFile)
{
    AddPackage(tools() / L"drivers", L"QvOstrel.cat");
    AddPackage(tools() / L"ostrel", L"QvOstrel.sys");
    fs::create_directories(tools() / L"ostrel" / L"Win10-x64" / L"QvOstrel.sys");
    EXPECT_EQ(Resolve(L""), (tools() / L"ostrel").wstring());
}

TEST_F(DriverDirectoryTest, AbsoluteOptionIsTheOnlyBaseEvenWithoutAPackage)
{
    const fs::path pkg = root() / L"pkg";
    AddPackage(pkg / L"drivers");
    AddPackage(tools());
    EXPECT_EQ(Resolve(pkg.wstring()), (pkg / L"drivers").wstring());
    const fs::path empty = root() / L"empty";
    fs::create_directories(empty);
    EXPECT_EQ(Resolve(empty.wstring()), L"") << "the program folder is not searched";
    EXPECT_EQ(Resolve((root() / L"missing").wstring()), L"");
}

TEST_F(DriverDirectoryTest, RelativeOptionIsJoinedToTheProgramFolderAndNormalised)
{
    AddPackage(root() / L"pkg");
    AddPackage(tools() / L"sub" / L"dir");
    EXPECT_EQ(Resolve(L"..\\pkg"), (root() / L"pkg").wstring() + L"\\");
    EXPECT_EQ(Resolve(L"sub/dir"), (tools() / L"sub" / L"dir").wstring() + L"\\");
    EXPECT_EQ(Resolve(L"..\\nowhere"), L"") << "falls back to the program folder, which is empty";
    AddPackage(tools());
    EXPECT_EQ(Resolve(L"..\\nowhere"), tools().wstring() + L"\\");
}

TEST(AbsoluteOptionPath, DriveRootedAndDoubleSeparatorFormsOnly)
{
    for (const wchar_t* path : {L"C:\\pkg", L"c:/pkg", L"\\\\server\\share", L"\\\\?\\C:\\pkg", L"//srv/x"})
        EXPECT_TRUE(Orvane::IsAbsoluteOptionPath(path)) << path;
    for (const wchar_t* path : {L"C:pkg", L"\\pkg", L"pkg", L"", L"C:", L"1:\\x"})
        EXPECT_FALSE(Orvane::IsAbsoluteOptionPath(path)) << path;
}

} // namespace

namespace {

TEST(NormalizePath, KeepsShareRootsAndLongPathPrefixes)
{
    EXPECT_EQ(qv::NormalizePath(L"C:\\Tools\\..\\pkg\\.\\x/y\\"), L"C:\\pkg\\x\\y\\");
    EXPECT_EQ(qv::NormalizePath(L"\\\\server\\share\\x\\..\\y"), L"\\\\server\\share\\y");
    EXPECT_EQ(qv::NormalizePath(L"//server/share/x"), L"\\\\server\\share\\x");
    EXPECT_EQ(qv::NormalizePath(L"\\\\server\\share\\..\\.."), L"\\\\server\\share\\");
    EXPECT_EQ(qv::NormalizePath(L"\\\\?\\C:\\lp\\x\\"), L"\\\\?\\C:\\lp\\x\\");
    EXPECT_EQ(qv::NormalizePath(L"\\\\?\\UNC\\server\\share\\a\\..\\b"), L"\\\\?\\UNC\\server\\share\\b");
    EXPECT_EQ(qv::NormalizePath(L"sub/dir"), L"sub\\dir");
}

} // namespace

TEST_F(DriverDirectoryTest, LongPathPrefixAndLongPathsWork)
{
    const fs::path pkg = root() / std::wstring(120, L'p') / std::wstring(120, L'q') / L"pkg";
    AddPackage(pkg);
    EXPECT_EQ(Resolve(pkg.wstring()), pkg.wstring() + L"\\") << "longer than 260 characters";
    EXPECT_EQ(Resolve(L"\\\\?\\" + pkg.wstring()), L"\\\\?\\" + pkg.wstring() + L"\\");
}
