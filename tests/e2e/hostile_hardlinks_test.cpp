// The hardlinks folder clean-up after -uninstall (no driver installed, so
// the uninstall ends with 0 and that code stands) under hostile contents
// and names: 10,000 entries, subfolders, links to outside the folder, and
// folders the system needs to start, which are refused untouched.
#include "hostile_support.h"

#include "common/strconv.h"
#include "fileops/protected_folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using e2e::Lines;
using hostile::U8;

std::string RegexText(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([\\.^$|()\[\]{}*+?])"), R"(\$&)");
}

fs::path TempDirectory()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    return fs::path(temp);
}

fs::path WindowsDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    return buffer;
}

/// The name drive Z gives a folder of the prefix under Wine (drive Z is the
/// Unix root), or an empty text when there is none.
std::wstring DriveZAlias(const fs::path& folder)
{
    std::string unixPath = hostile::UnixPath(folder);
    const std::string drive = "/dosdevices/c:";
    const size_t at = unixPath.find(drive);
    if (unixPath.empty() || unixPath.front() != '/' || at == std::string::npos)
        return {};
    unixPath.replace(at, drive.size(), "/drive_c");
    while (unixPath.size() > 1 && unixPath.back() == '/')
        unixPath.pop_back();
    std::wstring alias = L"Z:" + qv::Utf8ToWide(unixPath);
    std::replace(alias.begin(), alias.end(), L'/', L'\\');
    return alias;
}

/// The entry a clean-up line is about.
std::string EntryOf(const std::string& line)
{
    for (const std::string& head : {std::string("Delete file "), std::string("Moved ")}) {
        if (line.rfind(head, 0) == 0)
            return line.substr(head.size(), line.find(" -> ") == std::string::npos ? std::string::npos
                                                                                   : line.find(" -> ") - head.size());
    }
    return line;
}

fs::path SystemDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    GetSystemDirectoryW(buffer, MAX_PATH + 1);
    return buffer;
}

/// A name in the prefix's dosdevices folder ("q:" for a drive,
/// "unc/<server>/<share>" for a share) leading to `target` (relative to the
/// name's folder), removed again at the end. Wine finds drives and shares
/// there, so this lays out a substituted drive or a share of this machine.
class DosDevice {
public:
    DosDevice(const std::string& name, const std::string& target)
    {
        const char* prefix = std::getenv("WINEPREFIX");
        if (!prefix || *prefix != '/')
            return;
        path_ = std::string(prefix) + "/dosdevices/" + name;
        folder_ = path_.substr(0, path_.rfind('/'));
        made_ = hostile::RunUnix("mkdir -p '" + folder_ + "' && ln -s '" + target + "' '" + path_ + "'");
        Sleep(1100); // Wine looks at its drives again once a second
    }
    ~DosDevice()
    {
        if (made_)
            hostile::RunUnix("rm -f '" + path_ + "'; rmdir -p '" + folder_ + "' 2>/dev/null");
    }
    DosDevice(const DosDevice&) = delete;
    DosDevice& operator=(const DosDevice&) = delete;
    bool made() const { return made_; }

private:
    std::string path_;
    std::string folder_;
    bool made_ = false;
};

class HostileHardlinks : public e2e::DriverTest {
protected:
    /// Runs an uninstall with this ostrel-hl-path= value and returns the
    /// lines after the ExitCode line; the exit code must stay 0.
    std::vector<std::string> Cleanup(const std::wstring& value)
    {
        const qvtest::RunResult run =
            Tool({L"-uninstall", DriversPath(L"testpkg"), L"ostrel-hl-path=" + value});
        EXPECT_EQ(run.exitCode, 0u) << "the clean-up never changes the uninstall's code";
        EXPECT_EQ(run.errors, "");
        return hostile::LinesAfter(Lines(run.output), "ExitCode: 0x0 \"OK\"");
    }

    /// Matches "Moved <entry> -> <temporary>, dest on reboot success (N)"
    /// and gives the temporary path, which must be in the temporary directory.
    static fs::path MovedTo(const std::string& line, const fs::path& entry)
    {
        std::smatch match;
        const std::regex moved("Moved " + RegexText(U8(entry)) +
                               R"( -> (.*\\hl[0-9a-f]{12}\.tmp), dest on reboot success \(-?\d+\))");
        if (!std::regex_match(line, match, moved)) {
            ADD_FAILURE() << "not a move of " << U8(entry) << ": " << line;
            return {};
        }
        const fs::path temporary = qv::Utf8ToWide(match[1]);
        EXPECT_EQ(temporary.parent_path(), TempDirectory().parent_path()) << line;
        return temporary;
    }
};

// --- Many entries, subfolders, links ---------------------------------------

TEST_F(HostileHardlinks, TenThousandEntriesAreEachDeletedWithOneLineAndTheFolderRemoved)
{
    constexpr int kEntries = 10000;
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / L"hl";
    hostile::MakeFiles(folder, L"entry-", kEntries);

    const auto started = std::chrono::steady_clock::now();
    const std::vector<std::string> lines = Cleanup(folder.wstring());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::printf("The clean-up of %d entries took %lld ms.\n", kEntries, static_cast<long long>(elapsed.count()));
    RecordProperty("cleanup_ms", static_cast<int>(elapsed.count()));

    ASSERT_EQ(lines.size(), static_cast<size_t>(kEntries) + 1);
    std::set<std::string> deleted;
    const std::string prefix = "Delete file " + U8(folder) + "\\entry-";
    for (size_t i = 0; i < kEntries; ++i) {
        ASSERT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
        deleted.insert(lines[i].substr(prefix.size()));
    }
    EXPECT_EQ(deleted.size(), static_cast<size_t>(kEntries)) << "each entry has exactly one line";
    EXPECT_EQ(deleted.count("0") + deleted.count("9999"), 2u);
    EXPECT_EQ(lines.back(), "Success on deleting HL folder : " + U8(folder));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_LT(elapsed, std::chrono::seconds(60));
}

TEST_F(HostileHardlinks, SubfoldersAreMovedToTheTemporaryDirectoryAndDeletedAtRestart)
{
    e2e::PendingRenames pending;
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / L"hl";
    qvtest::WriteFileBytes(folder / L"a-file", "a");
    qvtest::WriteFileBytes(folder / L"b-sub" / L"inner.txt", "inner");
    qvtest::WriteFileBytes(folder / L"b-sub" / L"deeper" / L"deepest.txt", "deepest");
    fs::create_directories(folder / L"c-empty");
    qvtest::WriteFileBytes(folder / L"d-file", "d");

    std::vector<std::string> lines = Cleanup(folder.wstring());
    ASSERT_EQ(lines.size(), 5u);
    // The entries come in the order the folder lists them.
    std::sort(lines.begin(), lines.begin() + 4,
              [](const std::string& a, const std::string& b) { return EntryOf(a) < EntryOf(b); });
    EXPECT_EQ(lines[0], "Delete file " + U8(folder / L"a-file"));
    const fs::path sub = MovedTo(lines[1], folder / L"b-sub");
    const fs::path empty = MovedTo(lines[2], folder / L"c-empty");
    EXPECT_EQ(lines[3], "Delete file " + U8(folder / L"d-file"));
    EXPECT_EQ(lines[4], "Success on deleting HL folder : " + U8(folder));
    EXPECT_FALSE(fs::exists(folder));

    // Moved whole, and registered for deletion at the next restart.
    ASSERT_FALSE(sub.empty());
    ASSERT_FALSE(empty.empty());
    hostile::TreeRemover removeSub(sub);
    hostile::TreeRemover removeEmpty(empty);
    EXPECT_EQ(qvtest::ReadFileBytes(sub / L"inner.txt"), "inner");
    EXPECT_EQ(qvtest::ReadFileBytes(sub / L"deeper" / L"deepest.txt"), "deepest");
    EXPECT_EQ(hostile::EntryNames(empty), std::vector<std::wstring>{});
    EXPECT_TRUE(pending.Holds(sub.wstring()));
    EXPECT_TRUE(pending.Holds(empty.wstring()));
}

TEST_F(HostileHardlinks, HardLinksAreDeletedAndTheirOtherNamesKeepTheContent)
{
    qvtest::ScratchFolder scratch;
    const fs::path outside = scratch / L"outside.txt";
    const fs::path folder = scratch / L"hl";
    qvtest::WriteFileBytes(outside, "outside content");
    fs::create_directories(folder);
    ASSERT_TRUE(CreateHardLinkW((folder / L"link-1").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((folder / L"link-2").c_str(), outside.c_str(), nullptr));

    std::vector<std::string> lines = Cleanup(folder.wstring());
    ASSERT_EQ(lines.size(), 3u);
    std::sort(lines.begin(), lines.begin() + 2);
    EXPECT_EQ(lines[0], "Delete file " + U8(folder / L"link-1"));
    EXPECT_EQ(lines[1], "Delete file " + U8(folder / L"link-2"));
    EXPECT_EQ(lines[2], "Success on deleting HL folder : " + U8(folder));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(qvtest::ReadFileBytes(outside), "outside content");
}

// Wine 8 cannot make a symbolic link or a junction through the Win32 API
// (CreateSymbolicLinkW answers success and makes nothing; setting a mount
// point reparse point answers 50), so the links here are Unix symbolic
// links made with ln. Wine shows a link to a folder as a folder with the
// reparse-point attribute (0x410) and a link to a file as a plain file
// (0x20), and hides a link to nothing.
//
// Wine resolves a link before it deletes or renames (even with
// FILE_FLAG_OPEN_REPARSE_POINT), so deleting or moving such an entry would
// cost its target. The tool tells a link from an entry of the folder by the
// entry's final path, leaves each link alone with one line, and registers
// the folder, which then cannot be removed, for removal at restart.
TEST_F(HostileHardlinks, LinksToOutsideTheFolderNeverCostTheirTargetsTheirContents)
{
    e2e::PendingRenames pending;
    qvtest::ScratchFolder scratch;
    const fs::path outside = scratch / L"outside";
    qvtest::WriteFileBytes(outside / L"folder" / L"keep.txt", "folder content");
    qvtest::WriteFileBytes(outside / L"file.txt", "file content");
    const fs::path folder = scratch / L"hl";
    fs::create_directories(folder);
    hostile::TreeRemover removeScratch(scratch.path()); // the links, never followed, then the rest
    hostile::UnixSymlink folderLink(outside / L"folder", folder / L"folder-link");
    hostile::UnixSymlink fileLink(outside / L"file.txt", folder / L"file-link");
    // A link to an entry of the folder itself costs nothing outside: it is
    // not skipped (under Wine its deletion takes the entry with it).
    qvtest::WriteFileBytes(folder / L"inner.txt", "inner");
    hostile::UnixSymlink innerLink(folder / L"inner.txt", folder / L"inner-link");
    if (!folderLink.made() || !fileLink.made() || !innerLink.made())
        GTEST_SKIP() << "no symbolic link can be made here";
    EXPECT_EQ(GetFileAttributesW((folder / L"folder-link").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    const std::vector<std::string> lines = Cleanup(folder.wstring());
    const auto moved = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("Moved ", 0) == 0;
    });
    const fs::path temporary = moved == lines.end() ? fs::path() : MovedTo(*moved, folder / L"folder-link");
    std::unique_ptr<hostile::TreeRemover> removeMoved;
    if (!temporary.empty())
        removeMoved = std::make_unique<hostile::TreeRemover>(temporary);

    EXPECT_EQ(qvtest::ReadFileBytes(outside / L"folder" / L"keep.txt"), "folder content")
        << "the linked folder keeps its contents where they are";
    EXPECT_EQ(qvtest::ReadFileBytes(outside / L"file.txt"), "file content") << "the linked file stays";
    EXPECT_FALSE(pending.Holds((outside / L"folder").wstring()));
    EXPECT_FALSE(fs::exists(folder / L"inner.txt"));
    ASSERT_EQ(lines.size(), 4u);
    std::vector<std::string> entries(lines.begin(), lines.begin() + 3);
    std::sort(entries.begin(), entries.end());
    // Wine deletes through a link: whichever of the two comes first goes, and
    // the other is gone when its turn comes.
    EXPECT_TRUE(entries[0] == "Delete file " + U8(folder / L"inner-link") ||
                entries[0] == "Delete file " + U8(folder / L"inner.txt"))
        << entries[0];
    EXPECT_EQ(entries[1], "Skipped link " + U8(folder / L"file-link") + " -> " + U8(outside / L"file.txt"));
    EXPECT_EQ(entries[2], "Skipped link " + U8(folder / L"folder-link") + " -> " + U8(outside / L"folder"));
    EXPECT_EQ(lines[3].rfind("Could not delete HL folder " + U8(folder) + ", on reboot success (", 0), 0u) << lines[3];
}

// --- Folders the system needs to start are refused ---------------------------

/// One refused form: the option's value, the folder it names, and the reason.
struct Refusal {
    std::wstring value;
    fs::path folder;
    const char* reason;
};

class HostileRefusal : public HostileHardlinks {
protected:
    /// For each form: makes sure the tool's own test refuses it (never runs
    /// the tool on a form it would clean), runs the uninstall, and checks
    /// the one refusal line and that nothing in the folder or in the
    /// restart renames changed.
    void ExpectRefused(const std::vector<Refusal>& refusals)
    {
        e2e::PendingRenames pending;
        const std::vector<std::wstring> pendingBefore = pending.Entries();
        for (const Refusal& refusal : refusals) {
            const std::string value = qv::WideToUtf8(refusal.value);
            std::wstring trimmed = refusal.value;
            trimmed.erase(0, trimmed.find_first_not_of(L" \""));
            trimmed.erase(trimmed.find_last_not_of(L" \"") + 1);
            const wchar_t* reason = Orvane::ProtectedFolderReason(trimmed);
            if (!reason) {
                ADD_FAILURE() << value << " is not refused: the tool would clean it, so it is not run";
                continue;
            }
            const std::vector<std::wstring> before = hostile::EntryNames(refusal.folder);
            const DWORD attributes = GetFileAttributesW(refusal.folder.c_str());
            ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                << U8(refusal.folder);
            ASSERT_TRUE(before.empty() || before.front().rfind(L"<cannot list", 0) != 0) << U8(refusal.folder);

            const std::vector<std::string> lines = Cleanup(refusal.value);
            EXPECT_EQ(lines, std::vector<std::string>{"Refused to clean up HL folder " + qv::WideToUtf8(trimmed) +
                                                      ": it is " + refusal.reason})
                << value;
            EXPECT_EQ(hostile::EntryNames(refusal.folder), before) << value << ": the folder changed";
            EXPECT_EQ(pending.Entries(), pendingBefore) << value;
        }
    }
};

TEST_F(HostileRefusal, VolumeRootsInEveryFormAreRefusedAndNothingIsTouched)
{
    // "C:" alone names the current directory of drive C, which is its root
    // while the process has none there (its current directory is on Z:).
    hostile::ScopedCurrentDirectory current(qvtest::BuildFolder());
    const fs::path c = L"C:\\";
    const fs::path z = L"Z:\\";
    std::vector<Refusal> refusals = {
        {L"C:\\", c, "a volume root"},
        {L"\\\\?\\C:\\", c, "a volume root"},
        {L"C:", c, "a volume root"},
        {L"c:/", c, "a volume root"},
        {L"  \"C:/\"  ", c, "a volume root"},
        {L"Z:\\", z, "a volume root"},
        {L"\\\\?\\Z:\\", z, "a volume root"},
        {(WindowsDirectory() / L"..").wstring(), c, "a volume root"},
    };
    // The administrative share of drive C on this machine.
    const DosDevice share("unc/localhost/c$", "../../c:");
    if (share.made()) {
        refusals.push_back({L"\\\\localhost\\c$", c, "a volume root"});
        refusals.push_back({L"\\\\?\\UNC\\LOCALHOST\\C$\\", c, "a volume root"});
    }
    // Under Wine the prefix's drive C is also a folder of drive Z.
    const std::wstring alias = DriveZAlias(c);
    if (!alias.empty())
        refusals.push_back({alias, c, "a volume root"});
    ExpectRefused(refusals);
    EXPECT_TRUE(share.made()) << "no share of this machine could be laid out";
}

std::wstring Upper(std::wstring text)
{
    for (wchar_t& ch : text)
        ch = static_cast<wchar_t>(towupper(ch));
    return text;
}

std::wstring Slashed(std::wstring text)
{
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

TEST_F(HostileRefusal, WindowsDirectoryUnderAnySpellingIsRefusedAndNothingIsTouched)
{
    const fs::path windows = WindowsDirectory();
    const std::wstring text = windows.wstring();
    const std::wstring upper = Upper(text);
    const std::wstring slashed = Slashed(text);
    std::vector<Refusal> refusals = {
        {text, windows, "the Windows directory"},
        {text + L"\\", windows, "the Windows directory"},
        {upper, windows, "the Windows directory"},
        {slashed + L"/", windows, "the Windows directory"},
        {L"\\\\?\\" + text, windows, "the Windows directory"},
        {text + L"\\system32\\..", windows, "the Windows directory"},
        {text + L"\\.\\", windows, "the Windows directory"},
        {L"\"" + text + L"\"", windows, "the Windows directory"},
    };
    const std::wstring alias = DriveZAlias(windows);
    if (!alias.empty())
        refusals.push_back({alias, windows, "the Windows directory"});
    qvtest::ScratchFolder scratch;
    hostile::UnixSymlink link(windows, scratch / L"windows-link");
    if (link.made())
        refusals.push_back({(scratch / L"windows-link").wstring(), windows, "the Windows directory"});
    const DosDevice share("unc/localhost/c$", "../../c:");
    if (share.made())
        refusals.push_back({L"\\\\localhost\\C$\\" + windows.filename().wstring(), windows, "the Windows directory"});
    ExpectRefused(refusals);
    EXPECT_TRUE(link.made()) << "a link to the Windows directory could not be made";

    // A drive letter given to the Windows directory, as subst does; while it
    // exists, Wine names the folder by that drive wherever it is reached.
    const DosDevice substituted("q:", "../drive_c/" + hostile::U8(windows.filename()));
    ASSERT_TRUE(substituted.made());
    ExpectRefused({{L"Q:\\", windows, "a volume root"}, {L"q:\\.", windows, "the Windows directory"}});
}

TEST_F(HostileRefusal, SystemDirectoryUnderAnySpellingIsRefusedAndNothingIsTouched)
{
    const fs::path system = SystemDirectory();
    const fs::path wow64 = WindowsDirectory() / L"syswow64";
    const std::wstring text = system.wstring();
    const std::wstring upper = Upper(text);
    const std::wstring slashed = Slashed(text);
    std::vector<Refusal> refusals = {
        {text, system, "the system directory"},
        {text + L"\\", system, "the system directory"},
        {upper, system, "the system directory"},
        {slashed, system, "the system directory"},
        {L"\\\\?\\" + text, system, "the system directory"},
        {text + L"\\drivers\\..", system, "the system directory"},
        {(WindowsDirectory() / L"." / L"system32" / L".").wstring() + L"\\", system, "the system directory"},
        {wow64.wstring(), wow64, "the system directory"},
        {wow64.wstring() + L"\\", wow64, "the system directory"},
    };
    qvtest::ScratchFolder scratch;
    hostile::UnixSymlink link(system, scratch / L"system-link");
    if (link.made())
        refusals.push_back({(scratch / L"system-link").wstring(), system, "the system directory"});
    // A link with a long name, reached by its short (8.3) name.
    hostile::UnixSymlink longLink(system, scratch / L"link to the system directory");
    wchar_t shortName[MAX_PATH + 1] = {};
    const std::wstring longName = (scratch / L"link to the system directory").wstring();
    if (longLink.made() && GetShortPathNameW(longName.c_str(), shortName, MAX_PATH + 1) &&
        longName != shortName)
        refusals.push_back({shortName, system, "the system directory"});
    else
        ADD_FAILURE() << "no short name for " << U8(longName);
    const DosDevice share("unc/localhost/c$", "../../c:");
    if (share.made())
        refusals.push_back({L"\\\\localhost\\c$\\windows\\system32", system, "the system directory"});
    ExpectRefused(refusals);
    const DosDevice substituted("q:", "../drive_c/windows");
    ASSERT_TRUE(substituted.made());
    ExpectRefused({{L"Q:\\system32", system, "the system directory"}});

    // "C:" while the current directory of drive C is the system directory,
    // as it often is for a program started elevated: refused as the bare
    // drive it is.
    hostile::ScopedCurrentDirectory current(system);
    ExpectRefused({{L"C:", system, "a volume root"}});
}

TEST_F(HostileRefusal, FoldersBesideTheRefusedOnesAreStillCleaned)
{
    const std::wstring tag = L"qvtest-hl-" + std::to_wstring(GetCurrentProcessId());
    for (const fs::path& folder : {WindowsDirectory() / L"temp" / tag, SystemDirectory() / tag,
                                   fs::path(L"C:\\") / tag, SystemDirectory() / L"drivers" / tag}) {
        hostile::TreeRemover remover(folder);
        hostile::MakeFiles(folder, L"entry-", 2);
        ASSERT_EQ(Orvane::ProtectedFolderReason(folder.wstring()), nullptr) << U8(folder);
        std::vector<std::string> lines = Cleanup(folder.wstring());
        ASSERT_EQ(lines.size(), 3u) << U8(folder);
        std::sort(lines.begin(), lines.begin() + 2);
        EXPECT_EQ(lines[0], "Delete file " + U8(folder / L"entry-0"));
        EXPECT_EQ(lines[1], "Delete file " + U8(folder / L"entry-1"));
        EXPECT_EQ(lines[2], "Success on deleting HL folder : " + U8(folder));
        EXPECT_FALSE(fs::exists(folder)) << U8(folder);
    }
}

// "C:" alone is a drive-relative name: with the current directory of drive C
// elsewhere than its root it names that directory, whatever it holds. A bare
// drive named as the hardlinks folder is a volume root named by mistake: it
// is refused, and the current directory is left alone.
TEST_F(HostileRefusal, BareDriveIsRefusedWhateverTheCurrentDirectory)
{
    e2e::PendingRenames pending;
    qvtest::ScratchFolder scratch;
    qvtest::WriteFileBytes(scratch / L"installer-file.txt", "belongs to whoever runs the tool");
    std::vector<std::string> lines;
    {
        hostile::ScopedCurrentDirectory current(scratch.path());
        lines = Cleanup(L"C:");
    }
    EXPECT_EQ(lines, std::vector<std::string>{"Refused to clean up HL folder C:: it is a volume root"});
    EXPECT_EQ(qvtest::ReadFileBytes(scratch / L"installer-file.txt"), "belongs to whoever runs the tool");
    EXPECT_FALSE(pending.Holds(scratch.path().wstring()));
}

} // namespace
