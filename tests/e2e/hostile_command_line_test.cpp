// Hostile values of drivers-path=, log= and ostrel-hl-path=: text that is
// not valid UTF-16, paths longer than 260 characters, the "\\?\" form, and
// log files that cannot be written. Each run ends with its defined code and
// lines, and nothing is cut silently.
#include "hostile_support.h"

#include "common/strconv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using e2e::Lines;
using hostile::U8;

constexpr wchar_t kLoneSurrogate = 0xD800;

/// A path below `base` longer than `length` characters, made of 50-character
/// folder names (each well below the 255 a name may have).
fs::path LongPath(const fs::path& base, size_t length)
{
    fs::path path = base;
    for (int i = 0; path.wstring().size() <= length; ++i)
        path /= L"long-folder-" + std::to_wstring(i) + L"-" + std::wstring(36, L'x');
    return path;
}

class HostileInput : public e2e::DriverTest {
protected:
    ~HostileInput() override { hostile::RemovePackageKey(); }

    /// What -shouldupdate prints for the test package when nothing is installed.
    static std::string NotInstalledOutput()
    {
        return Crlf("Driver path: \"" + qv::WideToUtf8(DriverDirectory(L"testpkg")) + "\"\n" +
                    "QvOstrel is not installed\nExitCode: 1 (true)\n");
    }

    /// The complete output of an install of the package in `directory`
    /// (a driver directory, printed form, with its package folder
    /// Win10-x64) on a machine without the driver.
    static std::string InstallOutput(const std::string& directory)
    {
        const std::string folder = directory + "Win10-x64\\";
        const std::string image = U8(InstalledImage());
        return "Driver path: \"" + directory + "\"\n" + "Install QvOstrel:\n  " + folder +
               "QvOstrel.inf [1.0.0.1]\n  " + folder + "QvOstrel.sys [1.0.0.1]\n  " + folder +
               "QvOstrel.cat\n" + "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\n" +
               "Probe(\"" + image + "\") = 0x2\n" + e2e::SetupLibraryLines(folder + "QvOstrel.inf", "Install.NTamd64") +
               "StartService(\"QvOstrel\") = 0x0\n" + "QueryServiceStatus(\"QvOstrel\") = \"running\"\n" +
               "ExitCode: 0x0 \"OK\"\n";
    }
    /// The complete output of the uninstall after that install.
    static std::string UninstallOutput(const std::string& directory)
    {
        const std::string folder = directory + "Win10-x64\\";
        const std::string image = U8(InstalledImage());
        return "Driver path: \"" + directory + "\"\n" + "Uninstall QvOstrel:\n  " + folder +
               "QvOstrel.inf [1.0.0.1]\n  " + image + " [1.0.0.1]\n  " + folder + "QvOstrel.cat\n" +
               "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x0\n" + "Probe(\"" + image +
               "\") = 0x0\n" + e2e::SetupLibraryLines(folder + "QvOstrel.inf", "Uninstall.NTamd64") +
               "QueryServiceStatus(\"QvOstrel\") = \"not installed\"\n" + "ExitCode: 0x0 \"OK\"\n";
    }

    /// Runs the tool, failing the test rather than waiting for a run that hangs.
    bool RunBounded(const std::vector<std::wstring>& args, qvtest::RunResult& run)
    {
        try {
            run = qvtest::RunProgram(qvtest::ToolPath(), args, kBoundMs);
            return true;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "the tool did not end within " << kBoundMs / 1000 << " s (" << error.what() << ")";
            return false;
        }
    }

    /// Installs and uninstalls with this drivers-path= value. Each run either
    /// works, printing every path whole, or fails with its code on the
    /// ExitCode line and leaves no service and no image; it never hangs.
    void InstallAndUninstall(const std::wstring& driversPath, const std::string& printedDirectory)
    {
        qvtest::RunResult install;
        if (!RunBounded({L"-install", L"drivers-path=" + driversPath}, install))
            return;
        if (install.exitCode != 0) {
            ExpectCleanFailure(install, printedDirectory);
            return;
        }
        EXPECT_EQ(install.output, Crlf(InstallOutput(printedDirectory)));
        EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
        qvtest::RunResult uninstall;
        if (!RunBounded({L"-uninstall", L"drivers-path=" + driversPath}, uninstall))
            return;
        EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.output;
        EXPECT_EQ(uninstall.output, Crlf(UninstallOutput(printedDirectory)));
        EXPECT_EQ(ServiceState(), 0u);
        EXPECT_FALSE(fs::exists(InstalledImage()));
    }

    /// A package folder too deep for the setup library is refused before
    /// anything changes: the driver path line, one line naming the folder,
    /// and the result line with 206.
    void ExpectCleanFailure(const qvtest::RunResult& run, const std::string& printedDirectory)
    {
        const std::vector<std::string> lines = Lines(run.output);
        ASSERT_EQ(lines.size(), 3u) << run.output;
        EXPECT_EQ(lines[0], Lines(InstallOutput(printedDirectory))[0]);
        std::string folder = printedDirectory + "Win10-x64";
        EXPECT_EQ(lines[1], "Package folder \"" + folder + "\" is too long for the setup library");
        EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
        EXPECT_EQ(lines[2].rfind("ExitCode: 0xce \"", 0), 0u) << run.output;
        EXPECT_EQ(ServiceState(), 0u) << "a failed install leaves no service behind";
        EXPECT_FALSE(fs::exists(InstalledImage())) << "a failed install leaves no image behind";
    }

    static constexpr DWORD kBoundMs = 15000;

    /// Runs an uninstall (nothing installed) with this hardlinks folder
    /// option value; returns the lines after the ExitCode line.
    std::vector<std::string> Cleanup(const std::wstring& value)
    {
        const qvtest::RunResult run =
            Tool({L"-uninstall", DriversPath(L"testpkg"), L"ostrel-hl-path=" + value});
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        return hostile::LinesAfter(Lines(run.output), "ExitCode: 0x0 \"OK\"");
    }
};

// --- Text that is not valid UTF-16 -----------------------------------------

// Wine keeps file names as UTF-8 on the Unix side, so a folder whose name
// holds a lone surrogate cannot be made (CreateDirectoryW fails with error 2),
// and a Unix name with the bytes of one shows as U+FFFD. A driver directory
// with such a name therefore never resolves here: the run stops at "Invalid
// driver directory" (3) before the driver path line is converted. Should a
// later Wine make the folder, the conversion of the driver path line must
// fail instead: "ERROR: Text is not valid UTF-16" and 1627, nothing else.
TEST_F(HostileInput, LoneSurrogateInTheDriversPathEndsWithADefinedCodeAndOneLine)
{
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / (std::wstring(L"pkg-") + kLoneSurrogate + L"-x");
    const bool folderMade = CreateDirectoryW(folder.c_str(), nullptr) != FALSE;
    if (folderMade)
        e2e::CopyPackage(L"testpkg", L"Win10-x64", folder);

    for (const wchar_t* command : {L"-install", L"-uninstall", L"-check", L"-shouldupdate", L""}) {
        std::vector<std::wstring> args = {L"drivers-path=" + folder.wstring()};
        if (*command)
            args.insert(args.begin(), command);
        const qvtest::RunResult run = Tool(args);
        if (folderMade) {
            EXPECT_EQ(run.exitCode, 1627u) << command;
            EXPECT_EQ(run.output, Crlf("ERROR: Text is not valid UTF-16\n")) << command;
        } else {
            EXPECT_EQ(run.exitCode, 3u) << command;
            EXPECT_EQ(run.output, Crlf("ERROR: Invalid driver directory\n")) << command;
        }
        EXPECT_EQ(run.errors, "");
    }
    EXPECT_EQ(ServiceState(), 0u);
    EXPECT_FALSE(fs::exists(InstalledImage()));
}

TEST_F(HostileInput, LoneSurrogateElsewhereIsNormalisedAwayIgnoredOrNotFound)
{
    // A component removed by ".." takes its surrogate with it.
    const std::wstring removed = (qvtest::BuildFolder() / L"testpkg").wstring() + L"\\bad" +
                                 kLoneSurrogate + L"\\..";
    const qvtest::RunResult normalised = Tool({L"-shouldupdate", L"drivers-path=" + removed});
    EXPECT_EQ(normalised.exitCode, 1u);
    EXPECT_EQ(normalised.output, NotInstalledOutput());

    // A relative value that names nothing is ignored: the program's folder is used.
    qvtest::ScratchFolder scratch;
    const fs::path exe = scratch / L"QvOstrelSetup.exe";
    qvtest::CopyFileTo(qvtest::ToolPath(), exe);
    e2e::CopyPackage(L"testpkg", L"Win10-x64", scratch.path());
    const qvtest::RunResult relative =
        qvtest::RunProgram(exe, {std::wstring(L"drivers-path=rel") + kLoneSurrogate});
    EXPECT_EQ(relative.exitCode, 160u);
    EXPECT_EQ(relative.output, Crlf(e2e::DriverPathLine(scratch.path().wstring() + L"\\") +
                                    "ERROR: No valid command\n" + e2e::UsageBlock()));

    // A log file of that name cannot be made: the console alone, complete.
    const std::wstring log = (scratch / L"log-").wstring() + kLoneSurrogate + L".txt";
    const qvtest::RunResult logged = Tool({L"-shouldupdate", DriversPath(L"testpkg"), L"log=" + log});
    EXPECT_EQ(logged.exitCode, 1u);
    EXPECT_EQ(logged.output, NotInstalledOutput());

    // A hardlinks folder of that name does not exist: nothing after the ExitCode line.
    const std::wstring hardlinks = (scratch / L"hl-").wstring() + kLoneSurrogate;
    EXPECT_EQ(Cleanup(hardlinks), std::vector<std::string>{});

    std::vector<std::wstring> expected = {L"QvOstrel.cat", L"QvOstrel.inf", L"QvOstrel.sys"};
    EXPECT_EQ(hostile::EntryNames(scratch / L"Win10-x64"), expected);
    EXPECT_EQ(hostile::EntryNames(scratch.path()),
              (std::vector<std::wstring>{L"QvOstrelSetup.exe", L"Win10-x64"}));
}

// --- Paths longer than 260 characters and the "\\?\" form -------------------

// The package folder more than 260 characters deep. The setup library keeps
// its copy sources in MAX_PATH buffers, so such a package could never be
// copied (and a default queue callback would wait for a user for ever): the
// run ends, either installed with every path whole or refused before
// anything changes, with nothing left behind.
TEST_F(HostileInput, LongDriversPathInstallsOrFailsCleanlyWithEveryPathWhole)
{
    qvtest::ScratchFolder scratch;
    hostile::TreeRemover remover(scratch.path()); // deeper than the scratch folder removes
    const fs::path directory = LongPath(scratch.path(), 300);
    e2e::CopyPackage(L"testpkg", L"Win10-x64", directory);
    ASSERT_GT((directory / L"Win10-x64" / L"QvOstrel.inf").wstring().size(), 300u);
    InstallAndUninstall(directory.wstring(), U8(directory) + "\\");
}

TEST_F(HostileInput, ExtendedLengthDriversPathInstallsAndUninstalls)
{
    const std::wstring directory = L"\\\\?\\" + (qvtest::BuildFolder() / L"testpkg").wstring();
    InstallAndUninstall(directory, qv::WideToUtf8(directory) + "\\");
}

// The "\\?\" form of a folder more than 260 characters deep: the same.
TEST_F(HostileInput, ExtendedLengthLongDriversPathInstallsOrFailsCleanly)
{
    qvtest::ScratchFolder scratch;
    hostile::TreeRemover remover(scratch.path()); // deeper than the scratch folder removes
    const fs::path directory = LongPath(scratch.path(), 300);
    e2e::CopyPackage(L"testpkg", L"Win10-x64", directory);
    const std::wstring extended = L"\\\\?\\" + directory.wstring();
    InstallAndUninstall(extended, qv::WideToUtf8(extended) + "\\");
}

TEST_F(HostileInput, LongAndExtendedLengthLogPathsAreWrittenWithTheirFoldersCreated)
{
    qvtest::ScratchFolder scratch;
    hostile::TreeRemover remover(scratch.path()); // deeper than the scratch folder removes
    const fs::path deep = LongPath(scratch / L"plain", 300);
    const fs::path deepExtended = LongPath(scratch / L"extended", 300);
    const std::vector<std::wstring> logs = {
        (deep / L"setup.log").wstring(),
        L"\\\\?\\" + (scratch / L"short" / L"sub" / L"setup.log").wstring(),
        L"\\\\?\\" + (deepExtended / L"setup.log").wstring(),
    };
    const std::string stamp = R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] )";
    const std::string driverPath = "Driver path: \"" + qv::WideToUtf8(DriverDirectory(L"testpkg")) + "\"";
    const std::regex logged("\n" + stamp + std::regex_replace(driverPath, std::regex(R"([\\.\[\]()])"), R"(\$&)") +
                            "\n" + stamp + "QvOstrel is not installed\n" + stamp +
                            R"(ExitCode: 1 \(true\)\n)");
    for (const std::wstring& log : logs) {
        const qvtest::RunResult run = Tool({L"-shouldupdate", DriversPath(L"testpkg"), L"log=" + log});
        EXPECT_EQ(run.exitCode, 1u) << qv::WideToUtf8(log);
        EXPECT_EQ(run.output, NotInstalledOutput());
        const std::wstring plain = log.rfind(L"\\\\?\\", 0) == 0 ? log.substr(4) : log;
        const std::string text = qvtest::ReadFileBytes(plain);
        EXPECT_TRUE(std::regex_match(text, logged)) << qv::WideToUtf8(log) << "\n" << text;
    }
}

TEST_F(HostileInput, LongAndExtendedLengthHardlinksFoldersAreEmptiedAndRemoved)
{
    qvtest::ScratchFolder scratch;
    hostile::TreeRemover remover(scratch.path()); // deeper than the scratch folder removes
    struct Case {
        fs::path folder;  // where the folder is
        std::wstring value; // how the option names it
    };
    const fs::path longFolder = LongPath(scratch / L"plain", 300);
    const fs::path extendedFolder = scratch / L"extended";
    const fs::path extendedLongFolder = LongPath(scratch / L"extended-long", 300);
    const std::vector<Case> cases = {
        {longFolder, longFolder.wstring()},
        {extendedFolder, L"\\\\?\\" + extendedFolder.wstring()},
        {extendedLongFolder, L"\\\\?\\" + extendedLongFolder.wstring()},
    };
    for (const Case& c : cases) {
        hostile::MakeFiles(c.folder, L"entry-", 2);
        const std::string named = qv::WideToUtf8(c.value);
        std::vector<std::string> lines = Cleanup(c.value);
        ASSERT_EQ(lines.size(), 3u) << named;
        std::sort(lines.begin(), lines.begin() + 2);
        EXPECT_EQ(lines[0], "Delete file " + named + "\\entry-0");
        EXPECT_EQ(lines[1], "Delete file " + named + "\\entry-1");
        EXPECT_EQ(lines[2], "Success on deleting HL folder : " + named);
        EXPECT_FALSE(fs::exists(c.folder)) << named;
        EXPECT_TRUE(fs::exists(c.folder.parent_path())) << "only the named folder goes";
    }
}

// Paths with characters beyond ASCII in drivers-path= and ostrel-hl-path=:
// every line is printed whole on the console, in UTF-8 as the driver path
// line is, and written whole to the log. (The runtime's own wide console
// output, in its default "C" locale, would stop a line at the first
// character beyond U+00FF.)
TEST_F(HostileInput, NonAsciiPathsArePrintedWholeOnTheConsole)
{
    qvtest::ScratchFolder scratch;
    const fs::path directory = scratch / L"pkg-\x00e9-\x20ac";
    e2e::CopyPackage(L"testpkg", L"Win10-x64", directory);
    const fs::path hardlinks = scratch / L"hl-\x00e9-\x20ac";
    qvtest::WriteFileBytes(hardlinks / L"f-\x20ac.txt", "x");
    const fs::path log = scratch / L"setup.log";

    const qvtest::RunResult run = Tool({L"-uninstall", L"drivers-path=" + directory.wstring(),
                                        L"ostrel-hl-path=" + hardlinks.wstring(), L"log=" + log.wstring()});
    EXPECT_EQ(run.exitCode, 0u);
    const std::string folder = U8(directory) + "\\Win10-x64\\";
    const std::string image = U8(InstalledImage());
    const std::string expected =
        "Driver path: \"" + U8(directory) + "\\\"\n" + "Uninstall QvOstrel:\n  " + folder + "QvOstrel.inf [1.0.0.1]\n  " +
        image + " [n/a]\n  " + folder + "QvOstrel.cat\n" +
        "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\n" + "Probe(\"" + image + "\") = 0x2\n" +
        e2e::SetupLibraryLines(folder + "QvOstrel.inf", "Uninstall.NTamd64") +
        "QueryServiceStatus(\"QvOstrel\") = \"not installed\"\n" + "ExitCode: 0x0 \"OK\"\n" + "Delete file " +
        U8(hardlinks / L"f-\x20ac.txt") + "\n" + "Success on deleting HL folder : " + U8(hardlinks) + "\n";
    EXPECT_EQ(run.output, Crlf(expected));
    EXPECT_FALSE(fs::exists(hardlinks));

    std::string logged = qvtest::ReadFileBytes(log);
    logged = std::regex_replace(logged, std::regex(R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d\d\d\] )"), "");
    EXPECT_EQ(logged, "\n" + expected);
}

// --- Log files that cannot be written ---------------------------------------

// The log option names something the tool cannot append to: the run prints
// every line on the console, ends with its normal code, and no line lands in
// any file.
TEST_F(HostileInput, LogThatCannotBeWrittenLeavesTheConsoleCompleteAndTouchesNoFile)
{
    qvtest::ScratchFolder scratch;
    const fs::path folder = scratch / L"a-folder";
    fs::create_directories(folder / L"inside");
    const fs::path held = scratch / L"held.log";
    const fs::path readOnly = scratch / L"read-only.log";
    const fs::path aFile = scratch / L"a-file";
    qvtest::WriteFileBytes(held, "held before\n");
    qvtest::WriteFileBytes(readOnly, "read-only before\n");
    qvtest::WriteFileBytes(aFile, "a file before\n");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    // Another process holds the file open for writing without sharing: this one.
    HANDLE holder = CreateFileW(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    // Wine maps the read-only attribute to the Unix mode bits, which do not
    // stop a process running as root: then the system lets any program
    // write the file, and the tool's appending to it is no fault of its own.
    HANDLE probe = CreateFileW(readOnly.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool readOnlyHolds = probe == INVALID_HANDLE_VALUE;
    if (!readOnlyHolds)
        CloseHandle(probe);
    std::vector<fs::path> logs = {folder, held, aFile / L"under" / L"setup.log", aFile / L"setup.log"};
    if (readOnlyHolds)
        logs.push_back(readOnly);
    else
        std::printf("The read-only case cannot be made here: this process may write a read-only file.\n");

    for (const fs::path& log : logs) {
        const qvtest::RunResult run = Tool({L"-shouldupdate", DriversPath(L"testpkg"), L"log=" + log.wstring()});
        EXPECT_EQ(run.exitCode, 1u) << U8(log);
        EXPECT_EQ(run.output, NotInstalledOutput()) << U8(log);
        EXPECT_EQ(run.errors, "");
    }
    CloseHandle(holder);
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);

    EXPECT_EQ(qvtest::ReadFileBytes(held), "held before\n");
    if (readOnlyHolds) {
        EXPECT_EQ(qvtest::ReadFileBytes(readOnly), "read-only before\n");
    }
    EXPECT_EQ(qvtest::ReadFileBytes(aFile), "a file before\n");
    EXPECT_EQ(hostile::EntryNames(folder), std::vector<std::wstring>{L"inside"});
    EXPECT_EQ(hostile::EntryNames(folder / L"inside"), std::vector<std::wstring>{});
    EXPECT_EQ(hostile::EntryNames(scratch.path()),
              (std::vector<std::wstring>{L"a-file", L"a-folder", L"held.log", L"read-only.log"}));
}

} // namespace
