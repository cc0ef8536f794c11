#include "fileops/hardlinks.h"
#include "fileops/protected_folders.h"

#include "support/import_patch.h"
#include "support/stdout_capture.h"
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
    for (const wchar_t* root : {L"C:\\", L"c:", L"C:/", L"\\\\?\\C:\\", L"\\\\?\\C:", L"Z:\\"})
        EXPECT_EQ(Reason(root), L"a volume root") << root;
    EXPECT_EQ(Reason(L"\\\\server\\share"), L"") << "nothing behind it: nothing to protect";
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

// A folder is known by what it is. Spellings that Wine cannot lay out (an
// administrative share, a "\\?\GLOBALROOT" path, an NTFS junction) reach a
// protected folder under a path that matches none of its names: here the
// identity query reports a scratch folder as that folder.
Orvane::FileIdentity g_posedAs;
std::wstring g_posing;
decltype(&GetFileInformationByHandle) g_realIdentity = nullptr;

BOOL WINAPI PosingIdentity(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    if (!g_realIdentity(file, info))
        return FALSE;
    wchar_t path[MAX_PATH + 1] = {};
    if (GetFinalPathNameByHandleW(file, path, MAX_PATH, VOLUME_NAME_DOS) &&
        Orvane::ComparablePath(path) == g_posing) {
        info->dwVolumeSerialNumber = g_posedAs.Volume;
        info->nFileIndexHigh = static_cast<DWORD>(g_posedAs.Index >> 32);
        info->nFileIndexLow = static_cast<DWORD>(g_posedAs.Index);
    }
    return TRUE;
}

TEST(ProtectedFolders, AFolderWithTheIdentityOfAProtectedOneIsRefusedWhateverItsPath)
{
    qvtest::ScratchFolder scratch;
    g_posing = Orvane::ComparablePath(Orvane::FinalPathOf(scratch.path().wstring()));
    wchar_t system[MAX_PATH + 1] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    wchar_t root[MAX_PATH + 1] = {};
    GetVolumePathNameW(scratch.path().c_str(), root, MAX_PATH);
    const std::pair<std::wstring, const wchar_t*> protectedFolders[] = {
        {Windows(), L"the Windows directory"}, {system, L"the system directory"}, {root, L"a volume root"}};
    for (const auto& folder : protectedFolders) {
        ASSERT_TRUE(Orvane::QueryIdentity(folder.first, g_posedAs)) << folder.first;
        const qvtest::ImportPatch patch =
            qvtest::PatchImport("kernel32.dll", "GetFileInformationByHandle", &PosingIdentity);
        g_realIdentity = patch.original_as<decltype(&GetFileInformationByHandle)>();
        EXPECT_EQ(Reason(scratch.path().wstring()), folder.second) << folder.first;
    }
    EXPECT_EQ(Reason(scratch.path().wstring()), L"") << "its own identity again";
}

// The folder's listing comes in parts; one that fails part-way leaves the
// entries of the parts before it handled and logged.
decltype(&GetFileInformationByHandleEx) g_realListing = nullptr;
int g_listings = 0;

BOOL WINAPI ListingFailingAfterFirstPart(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer, DWORD size)
{
    if (kind == FileIdBothDirectoryInfo && ++g_listings > 1) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return g_realListing(file, kind, buffer, size);
}

TEST(HardlinksCleanup, AListingThatFailsPartWayLeavesTheEntriesListedBeforeHandled)
{
    qvtest::ScratchFolder scratch;
    const std::filesystem::path folder = scratch / L"hl";
    qvtest::WriteFileBytes(folder / L"entry", "x");
    std::string text;
    bool result = true;
    {
        const qvtest::ImportPatch patch =
            qvtest::PatchImport("kernel32.dll", "GetFileInformationByHandleEx", &ListingFailingAfterFirstPart);
        g_realListing = patch.original_as<decltype(&GetFileInformationByHandleEx)>();
        g_listings = 0;
        qvtest::StdoutCapture console;
        result = Orvane::CleanupOstrelHardlinks(folder.wstring());
        text = console.Text();
    }
    EXPECT_FALSE(result);
    EXPECT_EQ(text.rfind(qvtest::Crlf("Delete file " + (folder / L"entry").string() + "\n") +
                             "CleanupOstrelHardlinks exception: ", 0), 0u) << text;
    EXPECT_NE(text.find("directory_iterator::operator++"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(folder / L"entry"));
    EXPECT_TRUE(std::filesystem::exists(folder)) << "neither removed nor registered";
}

} // namespace
