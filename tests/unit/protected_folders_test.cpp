#include "fileops/protected_folders.h"

#include "support/tool_runner.h"

#include <gtest/gtest.h>

namespace {

std::wstring Windows()
{
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring Reason(const std::wstring& folder)
{
    const wchar_t* reason = Orvane::ProtectedFolderReason(folder);
    return reason ? reason : L"";
}

TEST(ProtectedFolders, VolumeRootsInEveryFormAreRefused)
{
    for (const wchar_t* root : {L"C:\\", L"c:", L"C:/", L"\\\\?\\C:\\", L"\\\\?\\C:", L"Z:\\",
                                L"\\\\server\\share", L"\\\\server\\share\\", L"\\\\?\\UNC\\server\\share\\"})
        EXPECT_EQ(Reason(root), L"a volume root") << root;
    EXPECT_EQ(Reason(Windows() + L"\\.."), L"a volume root");
}

TEST(ProtectedFolders, WindowsAndSystemDirectoriesAreRefusedUnderAnySpelling)
{
    const std::wstring windows = Windows();
    EXPECT_EQ(Reason(windows), L"the Windows directory");
    EXPECT_EQ(Reason(windows + L"\\"), L"the Windows directory");
    EXPECT_EQ(Reason(L"\\\\?\\" + windows), L"the Windows directory");
    EXPECT_EQ(Reason(L"C:\\WINDOWS\\system32\\.."), L"the Windows directory");
    EXPECT_EQ(Reason(windows + L"\\System32"), L"the system directory");
    EXPECT_EQ(Reason(windows + L"\\SysWOW64\\"), L"the system directory");
}

TEST(ProtectedFolders, OrdinaryFoldersBesideThemAreAllowed)
{
    qvtest::ScratchFolder scratch;
    for (const std::wstring& folder :
         {scratch.path().wstring(), Windows() + L"\\Temp", Windows() + L"\\system32\\drivers",
          std::wstring(L"C:\\users"), std::wstring(L"\\\\server\\share\\hl"), std::wstring(L"relative\\hl")})
        EXPECT_EQ(Reason(folder), L"") << folder;
}

} // namespace
