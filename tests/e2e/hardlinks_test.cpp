// The hardlinks folder named by ostrel-hl-path=, cleaned up after an
// uninstall (of nothing: no driver is installed), one row per situation.
// The uninstall's own lines come first; the rows pin the lines after them.
#include "e2e/e2e.h"

namespace e2e {
namespace {

const std::wstring kArgs[] = {L"-uninstall", L"{drivers}", L"ostrel-hl-path={hl}"};
#define QV_AFTER_EXIT "~[\\s\\S]*ExitCode: 0x0 \"OK\"\n"

void ReadOnlyEntry(Env& env)
{
    WriteBytes(env.tmp / L"hl\\ro", "x");
    SetFileAttributesW((env.tmp / L"hl\\ro").c_str(), FILE_ATTRIBUTE_READONLY);
}

/// The path a "Moved <entry> -> <path>" line names, registered for deletion
/// at restart; removed now.
void ExpectMovedAndRegistered(Env& env)
{
    std::smatch moved;
    ASSERT_TRUE(std::regex_search(env.run.output, moved, std::regex("Moved [^\n]* -> ([^\n]*), dest on reboot")));
    const fs::path temporary = qv::Utf8ToWide(moved[1]);
    EXPECT_TRUE(PendingRename(temporary));
    SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(temporary.c_str()));
}

/// A system directory of WOW64 (64-bit Windows: SysWOW64; ARM64 Windows also
/// SysArm32 and SyChpe32), where this system lays it out.
std::function<void(Env&)> Existing(const wchar_t* folder)
{
    return [folder](Env&) {
        if (!fs::is_directory(folder))
            GTEST_SKIP() << "no " << U8(folder) << " on this system, nothing to refuse (Wine lays out no SysArm32 or SyChpe32)";
    };
}

/// A row in which the clean-up refuses `folder` as `what` it is.
Row Refused(const char* name, const wchar_t* folder, const char* what = "the system directory",
            std::function<void(Env&)> before = nullptr)
{
    return {name, {L"-uninstall", L"{drivers}", L"ostrel-hl-path=" + std::wstring(folder)}, QV_AFTER_EXIT "Refused to clean up HL folder " + Escaped(U8(folder)) + ": it is " + what + "\n", 0, before};
}

// clang-format off
const Row kRows[] = {
    {"NoFolderWritesNothing", {std::begin(kArgs), std::end(kArgs)}, QV_AFTER_EXIT, 0},
    {"ReadOnlyEntryIsMovedAndDeletedAtRestart", {std::begin(kArgs), std::end(kArgs)},
     QV_AFTER_EXIT "Moved {hl}\\\\ro -> [^\n]*, dest on reboot success \\(\\d+\\)\n"
                   "Success on deleting HL folder : {hl}\n", 0, ReadOnlyEntry, ExpectMovedAndRegistered},
    // Another program's handle with delete sharing: the removal succeeds and
    // the folder goes when that handle closes; nothing waits for the restart.
    {"FolderHeldWithDeleteSharingIsRemoved", {std::begin(kArgs), std::end(kArgs)},
     QV_AFTER_EXIT "Delete file {hl}\\\\a\nSuccess on deleting HL folder : {hl}\n", 0,
     [](Env& env) {
         WriteBytes(env.tmp / L"hl\\a", "x");
         env.held.push_back(CreateFileW((env.tmp / L"hl").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
     },
     [](Env& env) {
         EXPECT_FALSE(PendingRename(env.tmp / L"hl"));
         CloseHandle(env.held.back());
         env.held.pop_back();
         EXPECT_FALSE(fs::exists(env.tmp / L"hl"));
     }},
    // C:\qvlinks\hllink is a link to C:\qvlinks\hltarget. The entries are
    // reached through it; then the link goes, never the target. Wine cannot
    // open the link as itself, so the link waits for the restart here.
    {"FolderNamedByALinkKeepsItsTarget", {L"-uninstall", L"{drivers}", L"ostrel-hl-path=C:\\qvlinks\\hllink"},
     QV_AFTER_EXIT "Delete file C:\\\\qvlinks\\\\hllink\\\\a\n"
                   "Could not delete HL folder C:\\\\qvlinks\\\\hllink, on reboot success \\(\\d+\\)\n", 0,
     [](Env&) { WriteBytes(L"C:\\qvlinks\\hltarget\\a", "x"); },
     [](Env&) {
         EXPECT_TRUE(fs::is_directory(L"C:\\qvlinks\\hltarget"));
         EXPECT_FALSE(fs::exists(L"C:\\qvlinks\\hltarget\\a"));
         EXPECT_TRUE(PendingRename(L"C:\\qvlinks\\hllink"));
         fs::create_directories(L"C:\\qvlinks\\hltarget");
     }},
    {"FolderThatCannotBeListedIsLeftAlone", {std::begin(kArgs), std::end(kArgs)},
     QV_AFTER_EXIT "CleanupOstrelHardlinks exception: [^\n]*\n", 0,
     [](Env& env) { WriteBytes(env.tmp / L"hl", "a file named as the folder"); },
     [](Env& env) { EXPECT_TRUE(fs::is_regular_file(env.tmp / L"hl")); }},
    // Protected folders under any spelling: the prefix has the share
    // \\localhost\c$ and C:\qvlinks\system32, a link to the system directory.
    Refused("SystemDirectoryIsRefused", L"C:\\windows\\system32"),
    Refused("SystemDirectoryThroughAShareIsRefused", L"\\\\localhost\\c$\\windows\\system32"),
    Refused("ShareRootIsRefused", L"\\\\localhost\\c$", "a volume root"),
    // A 32-bit tool sees SysWOW64 as System32 and the real System32 as
    // Sysnative; both are refused however the process sees them.
    Refused("SysnativeIsRefused", L"C:\\windows\\sysnative", "the system directory", Wow64Only),
    Refused("SysWow64IsRefused", L"C:\\windows\\SysWOW64", "the system directory", Existing(L"C:\\windows\\SysWOW64")),
    Refused("SysArm32IsRefused", L"C:\\windows\\SysArm32", "the system directory", Existing(L"C:\\windows\\SysArm32")),
    Refused("SyChpe32IsRefused", L"C:\\windows\\SyChpe32", "the system directory", Existing(L"C:\\windows\\SyChpe32")),
    Refused("SystemDirectoryThroughALinkIsRefused", L"C:\\qvlinks\\system32"),
    // Wine follows links when it deletes: a link to outside the folder is left.
    {"LinkToOutsideIsLeftAlone", {L"-uninstall", L"{drivers}", L"ostrel-hl-path=C:\\qvlinks\\hl"},
     QV_AFTER_EXIT "Skipped link C:\\\\qvlinks\\\\hl\\\\outside -> C:\\\\windows\\\\win\\.ini\n[\\s\\S]*", 0,
     nullptr, [](Env&) { EXPECT_TRUE(fs::exists(L"C:\\windows\\win.ini")); }},
};
// clang-format on

class HardlinksCases : public Cases {};
TEST_P(HardlinksCases, Row) { RunRow(); }
INSTANTIATE_TEST_SUITE_P(Folder, HardlinksCases, ::testing::ValuesIn(kRows), RowName);

} // namespace
} // namespace e2e
