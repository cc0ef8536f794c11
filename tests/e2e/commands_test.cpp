// The tool's commands end to end, one table row per situation: the real
// exe under Wine, its setup library and service manager, and the test driver.
#include "e2e/e2e.h"

namespace e2e {
namespace {

const char kHeader[] = "Driver path: \"{dir}\"\nInstall QvOstrel:\n  {inf} [1.0.0.1]\n  {sys} [1.0.0.1]\n  {cat}\n";
const char kFresh[] = "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\nProbe(\"{img}\") = 0x2\n";
const char kUsage[] =
    "\nUsage:\n"
    "QvOstrelSetup.exe -install       [drivers-path=<dir>] [service-start=0|1] [log=<file>]\n"
    "QvOstrelSetup.exe -uninstall     [drivers-path=<dir>] [ostrel-hl-path=<dir>] [log=<file>]\n"
    "QvOstrelSetup.exe -check\n"
    "QvOstrelSetup.exe -shouldupdate  [drivers-path=<dir>] -> Returns 0|1\n";
const char kRunning[] = "Driver path: \"{dir}\"\nQueryStatus(\"QvOstrel\") = \"running\"\n";
const char kUpToDate[] = "Driver path: \"{dir}\"\nQvOstrel is up-to-date:\n  \"{img}\" [1.0.0.1]\n"
                         "  \"{sys}\" [1.0.0.1]\nStartService(\"QvOstrel\") = 0x420 (already running)\n";
const char kNotInstalled[] = "Driver path: \"{dir}\"\nQueryStatus(\"QvOstrel\") = \"not installed\"\n";
const char kNoCommand[] = "Driver path: \"{dir}\"\nERROR: No valid command\n";
const char kStopped[] = "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x0\nProbe(\"{img}\") = 0x0\n";
const char kStarted[] = "{setup:Install.{nt}}StartService(\"QvOstrel\") = 0x0\n"
                        "QueryServiceStatus(\"QvOstrel\") = \"running\"\nExitCode: 0x0 \"OK\"\n";
const char kUninstall[] = "Driver path: \"{dir}\"\nUninstall QvOstrel:\n  {inf} [1.0.0.1]\n  {img} ";
const char kUninstalled[] = "{setup:Uninstall.{nt}}QueryServiceStatus(\"QvOstrel\") = \"not installed\"\n"
                            "ExitCode: 0x0 \"OK\"\n";
const char kV3[] = "Driver: 1.0.0.1, Interface: v3, NTDDI: 0x0A000000\n";
const std::vector<std::wstring> kCheck = {L"-check", L"{drivers}"}, kShouldUpdate = {L"-shouldupdate", L"{drivers}"};

/// The usage block of a copy of the tool named `name` (UTF-8).
std::string Usage(const char* name)
{
    return std::regex_replace(std::string(kUsage), std::regex("QvOstrelSetup\\.exe"), name);
}

std::string S(std::initializer_list<const char*> parts)
{
    std::string text;
    for (const char* part : parts)
        text += part;
    return text;
}

const std::string kCurrent = S({kUpToDate, "ExitCode: 0 (false)\n"});

void Expect(DWORD state, DWORD type, DWORD start, DWORD errorControl, const wchar_t* sizeOf)
{
    EXPECT_EQ(ServiceState(), state);
    EXPECT_EQ(ServiceDword(L"Type"), type);
    EXPECT_EQ(ServiceDword(L"Start"), start);
    EXPECT_EQ(ServiceDword(L"ErrorControl"), errorControl);
    if (sizeOf)
        EXPECT_EQ(fs::file_size(InstalledImage()), fs::file_size(BuildFolder() / sizeOf / NativePackageFolder() / L"QvOstrel.sys"));
    else
        EXPECT_FALSE(fs::exists(InstalledImage()));
}

/// Installed, running, and registered as Windows would have it; then the
/// test driver's behaviours, which it reads at each open of its device.
std::function<void(Env&)> Running(std::vector<std::pair<const wchar_t*, DWORD>> behaviours = {})
{
    return [behaviours](Env&) {
        Install(L"testpkg");
        WindowsImagePath();
        for (const auto& behaviour : behaviours)
            SetServiceDword(behaviour.first, behaviour.second, true);
    };
}

/// A copy of the tool in the row's folder, beside a DLL that leaves a marker
/// when loaded, under each name the tool or the DLLs it loads could take
/// from the program's folder; Wine prefers such copies for these names, as
/// Windows does for DLLs that are not KnownDLLs.
void Planted(Env& env)
{
    env.tool = env.tmp / L"QvOstrelSetup.exe";
    fs::copy_file(ToolPath(), env.tool);
    for (const wchar_t* name : {L"version", L"setupapi", L"shlwapi", L"cabinet", L"wintrust"}) {
        fs::copy_file(PlantedDll(), env.tmp / (std::wstring(name) + L".dll"));
        env.values.push_back(std::make_unique<ScopedValue>(
            L"Software\\Wine\\AppDefaults\\QvOstrelSetup.exe\\DllOverrides", name, REG_SZ, L"native,builtin",
            32, HKEY_CURRENT_USER));
    }
}

std::function<void(Env&)> ReadsSeen(std::vector<DWORD> expected)
{
    return [expected](Env&) {
        // Wine's device host may note a read's end after the tool has exited.
        for (const ULONGLONG end = GetTickCount64() + 2000; DriverReadsSeen() != expected && GetTickCount64() < end;)
            Sleep(20);
        EXPECT_EQ(DriverReadsSeen(), expected);
    };
}

/// -shouldupdate on a current driver whose first read ends at once as
/// `answer` says: still current, the next read issued and then cancelled.
Row ReadChannel(const char* name, DWORD answer, std::vector<DWORD> seen)
{
    return {name, kShouldUpdate, kCurrent, 0, Running({{L"ReadAnswer", answer}}), ReadsSeen(std::move(seen))};
}

void NothingLoaded(Env& env)
{
    for (const auto& entry : fs::directory_iterator(env.tmp.path()))
        EXPECT_NE(entry.path().extension(), L".loaded") << entry.path();
}

/// For a row of the 32-bit tool: the test package copied into `folder`.
std::function<void(Env&)> PackageIn(const wchar_t* folder)
{
    return [folder](Env& env) {
        Wow64Only(env);
        if (!::testing::Test::IsSkipped())
            fs::copy(BuildFolder() / L"testpkg", folder, fs::copy_options::recursive);
    };
}

/// The package copied by PackageIn removed, and installed, not started.
std::function<void(Env&)> InstalledFrom(const wchar_t* folder)
{
    return [folder](Env&) {
        fs::remove_all(folder);
        Expect(SERVICE_STOPPED, 1, 3, 1, L"testpkg");
    };
}

// clang-format off
const Row kRows[] = {
    // The command line: which command runs, and the codes every command shares.
    {"NoCommandWithDllsPlanted", {L"{drivers}", L"/install", L"install", L"--", L"-check"}, S({kNoCommand, kUsage}),
     160, Planted, NothingLoaded},
    {"UsageNamesACopyBeyondLatin1InUtf8", {L"{drivers}"}, kNoCommand + Usage("Qv\xc3\x96strel-\xce\xa9.exe"), 160,
     [](Env& env) { fs::copy_file(ToolPath(), env.tool = env.tmp / L"Qv\u00d6strel-\u03a9.exe"); }},
    {"NoPackageIsExitCode3BeforeTheCommand", {L"-install", L"drivers-path={tmp}"},
     "ERROR: Invalid driver directory\n", 3},
    {"OnlyThisProcessorsPackageQualifies", {L"-install", L"drivers-path={tmp}"},
     "ERROR: Invalid driver directory\n", 3, [](Env& env) {
         // Every other folder of the layout holds a whole package.
         for (const wchar_t* folder : {L"Win10-Legacy-x64", L"Win10-x64", L"Win10-Win32", L"Win10-ARM64", L"Win8-x64",
                                       L"Win8-Win32", L"Win8-ARM64", L"Win7-x64", L"Win7-Win32", L"Win7-ARM64"}) {
             if (folder == NativePackageFolder())
                 continue;
             fs::create_directories(env.tmp / folder);
             for (const wchar_t* file : {L"QvOstrel.inf", L"QvOstrel.sys", L"QvOstrel.cat"})
                 fs::copy_file(BuildFolder() / L"testpkg" / NativePackageFolder() / file, env.tmp / folder / file);
         }
     }},
    {"InstallWinsOverUninstallAndCheck", {L"-uninstall", L"-check", L"-INSTALL", L"{drivers}", L"service-start=0"},
     S({kHeader, kFresh, "{setup:Install.{nt}}QueryServiceStatus(\"QvOstrel\") = \"stopped\"\nExitCode: 0x0 \"OK\"\n"}),
     0, nullptr, [](Env&) { Expect(SERVICE_STOPPED, 1, 3, 1, L"testpkg"); }},
    {"UninstallWinsOverCheckAndShouldUpdate", {L"-shouldupdate", L"-check", L"-Uninstall", L"{drivers}"},
     S({kUninstall, "[n/a]\n  {cat}\n", kFresh, kUninstalled}), 0},
    {"CheckWinsOverShouldUpdate", {L"-shouldupdate", L"-check", L"{drivers}"}, kNotInstalled, 1062},
    {"LogFileAppendsEachRunAfterAnEmptyLine", {L"-check", L"{drivers}", L"log={tmp}\\a\\b\\x.log"}, "", 1062,
     [](Env& env) { Tool(env, {L"-check", L"{drivers}", L"log={tmp}\\a\\b\\x.log"}); },
     [](Env& env) {
         const std::string line = "\\[\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] ";
         const std::string run = "\n" + line + "Driver path: \"[^\"]*\"\n" + line +
                                 "QueryStatus\\(\"QvOstrel\"\\) = \"not installed\"\n";
         EXPECT_TRUE(std::regex_match(ReadBytes(env.tmp / L"a\\b\\x.log"), std::regex(run + run)));
     }},
    {"LogThatCannotBeOpenedLeavesTheConsoleWhole", {L"-check", L"{drivers}", L"log={tmp}"}, kNotInstalled, 1062},

    // -install
    {"FirstInstallWithDllsPlanted", {L"-install", L"{drivers}"}, S({kHeader, kFresh, kStarted}), 0,
     [](Env& env) { StartsAServiceItCreated(env); Planted(env); },
     [](Env& env) { Expect(SERVICE_RUNNING, 1, 3, 1, L"testpkg"), NothingLoaded(env); }},
    {"UpgradeOfARunningDriver", {L"-install", L"{drivers}"},
     S({"Driver path: \"{dir}\"\nExisting QvOstrel:\n  {img} [1.0.0.1]\nInstall QvOstrel:\n  {inf} [1.0.0.2]\n"
        "  {sys} [1.0.0.2]\n  {cat}\n", kStopped, kStarted}), 0,
     [](Env&) { Install(L"testpkg"); }, [](Env&) { Expect(SERVICE_RUNNING, 1, 3, 1, L"testpkg-v2"); },
     L"testpkg-v2"},
    {"DamagedValuesAreRepairedBeforeThePackage", {L"-install", L"{drivers}", L"service-start=0"},
     "~[\\s\\S]*\nRegQueryValue\\(\"Type\":49, Type:1\\) = 0x0\nRegSetValue\\(\"Type\":1, Type:4\\) = 0x0\n"
     "ControlService\\(\"QvOstrel\", SERVICE_CONTROL_STOP\\) = 0x426 \\(already stopped\\)\nProbe[^\n]* = 0x0\n"
     "RegQueryValue\\(\"Start\":0, Type:0\\) = 0x2\nRegSetValue\\(\"Start\":1, Type:4\\) = 0x0\n"
     "RegQueryValue\\(\"ErrorControl\":5, Type:4\\) = 0x0\nRegSetValue\\(\"ErrorControl\":1, Type:4\\) = 0x0\n"
     "SetupOpenInfFile[\\s\\S]*ExitCode: 0x0 \"OK\"\n", 0,
     [](Env&) {
         Install(L"testpkg", false);
         const DWORD five = 5;
         SetServiceValue(L"ErrorControl", REG_DWORD, &five, 4);
         SetServiceValue(L"Type", REG_SZ, L"1", 4);
         RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\QvOstrel", L"Start");
     },
     [](Env&) { Expect(SERVICE_STOPPED, 1, 3, 1, L"testpkg"); }},
    {"HeldImageIsProbedEvery500msFor5s", {L"-install", L"{drivers}", L"service-start=0"},
     "~[\\s\\S]*\\(already stopped\\)\n(Probe\\(\"{img}\"\\) = 0x20\n){9,11}SetupOpenInfFile[\\s\\S]*", ERROR_SHARING_VIOLATION,
     [](Env& env) {
         // Wine's setup library cannot replace an image in use (Windows would
         // defer the copy to the restart), so the commit then fails with 32.
         Install(L"testpkg", false);
         env.held.push_back(CreateFileW(InstalledImage().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
     }},
    {"ImageThatIsNotADriverFailsToStart", {L"-install", L"drivers-path={tmp}"},
     "~[\\s\\S]*StartService\\(\"QvOstrel\"\\) = 0x45a\nQueryServiceStatus[^\n]*\nExitCode: 0x45a [\\s\\S]*", 1114,
     [](Env& env) {
         const fs::path package = env.tmp / NativePackageFolder();
         fs::create_directories(package);
         for (const wchar_t* file : {L"QvOstrel.inf", L"QvOstrel.cat"})
             fs::copy_file(BuildFolder() / L"testpkg" / NativePackageFolder() / file, package / file);
         WriteBytes(package / L"QvOstrel.sys", "MZ but no driver");
     }},

    // A 32-bit tool finds C:\windows\system32\qvpkg in SysWOW64, and
    // works on it by that path while redirection is off.
    {"DriverDirectoryFoundThroughRedirection",
     {L"-install", L"drivers-path=C:\\windows\\system32\\qvpkg", L"service-start=0"},
     "~Driver path: \"C:\\\\windows\\\\syswow64\\\\qvpkg\\\\\"\nInstall QvOstrel:\n"
     "  C:\\\\windows\\\\syswow64\\\\qvpkg\\\\Win10-x64\\\\QvOstrel\\.inf \\[1\\.0\\.0\\.1\\]\n"
     "[\\s\\S]*ExitCode: 0x0 \"OK\"\n", 0,
     PackageIn(L"C:\\windows\\syswow64\\qvpkg"), InstalledFrom(L"C:\\windows\\syswow64\\qvpkg")},

    // Wine keeps Sysnative while redirection is off, Windows does not: the
    // tool then works on the folder by its final path.
    {"DriverDirectoryFoundThroughSysnative",
     {L"-install", L"drivers-path=C:\\windows\\sysnative\\qvpkg", L"service-start=0"},
     "~Driver path: \"C:\\\\windows\\\\(sysnative|system32)\\\\qvpkg\\\\\"\n[\\s\\S]*ExitCode: 0x0 \"OK\"\n", 0,
     PackageIn(L"C:\\windows\\system32\\qvpkg"), InstalledFrom(L"C:\\windows\\system32\\qvpkg")},

    // -uninstall
    {"UninstallWithDllsPlanted", {L"-uninstall", L"{drivers}"},
     S({kUninstall, "[1.0.0.1]\n  {cat}\n", kStopped, kUninstalled}), 0, [](Env& env) { Install(L"testpkg"); Planted(env); },
     [](Env& env) { Expect(0, 0, 0, 0, nullptr), NothingLoaded(env); }},

    // -check
    {"CheckWithDllsPlanted", kCheck, S({kRunning, kV3}), 0, [](Env& env) { Running()(env); Planted(env); }, NothingLoaded},
    {"CheckStopped", kCheck, "Driver path: \"{dir}\"\nQueryStatus(\"QvOstrel\") = \"stopped\"\n", 1062,
     [](Env&) { Install(L"testpkg", false); }},
    {"CheckDriverThatAnswersAfterTheCall", kCheck, S({kRunning, kV3}), 0, Running({{L"AnswerLater", 1}})},
    {"CheckOtherInterfaceVersion", kCheck, S({kRunning, "Driver: 1.0.0.1, Interface: v2, NTDDI: 0x0A000000\n"}), 1306,
     Running({{L"InterfaceVersion", 2}})},
    {"CheckDeviceRefusesTheOpen", kCheck,
     "~Driver path: \"{dir}\"\nQueryStatus\\(\"QvOstrel\"\\) = \"running\"\n"
     "Failed to communicate with the driver. Error: 0x5 \"Access (is )?denied\"\n", 5,
     Running({{L"OpenStatus", 0xC0000022}})},

    // -shouldupdate
    {"ShouldUpdateNotInstalled", kShouldUpdate, "Driver path: \"{dir}\"\nQvOstrel is not installed\nExitCode: 1 (true)\n", 1},
    {"ShouldUpdateOtherSize", kShouldUpdate,
     "~Driver path: \"{dir}\"\nQvOstrel is out-of-date:\n  \"{img}\" \\d+ bytes\n  \"{sys}\" \\d+ bytes\n"
     "ExitCode: 1 \\(true\\)\n", 1, Running(), nullptr, L"testpkg-v2"},
    {"ShouldUpdateSameSizeOtherVersion", kShouldUpdate,
     "Driver path: \"{dir}\"\nQvOstrel is out-of-date:\n  \"{img}\" [1.0.0.1]\n  \"{sys}\" [1.0.0.3]\n"
     "ExitCode: 1 (true)\n", 1, Running(), nullptr, L"testpkg-v3"},
    {"ShouldUpdateSameSizeOtherUpperVersion", kShouldUpdate,
     "Driver path: \"{dir}\"\nQvOstrel is out-of-date:\n  \"{img}\" [1.0.0.1]\n  \"{sys}\" [1.1.0.1]\n"
     "ExitCode: 1 (true)\n", 1, Running(), nullptr, L"testpkg-v4"},
    {"ShouldUpdateDamagedRegistry", kShouldUpdate,
     "Driver path: \"{dir}\"\nRegQueryValue(\"ErrorControl\":5, Type:4) = 0x0\nQvOstrel registry entries are damaged\n"
     "ExitCode: 1 (true)\n", 1, [](Env& env) { Running()(env); SetServiceDword(L"ErrorControl", 5); }},
    {"ShouldUpdateCurrentImagePathInOtherCase", kShouldUpdate, kCurrent, 0, [](Env& env) {
         Running()(env);
         const wchar_t path[] = L"SYSTEM32\\drivers\\qvostrel.sys";
         SetServiceValue(L"ImagePath", REG_EXPAND_SZ, path, sizeof(path));
     }},
    {"ShouldUpdateCurrentWithDllsPlanted", kShouldUpdate, kCurrent, 0, [](Env& env) { Running()(env); Planted(env); },
     NothingLoaded},
    {"ShouldUpdateOtherInterfaceVersionIsCurrentWithoutAChannel", kShouldUpdate, kCurrent, 0,
     Running({{L"InterfaceVersion", 2}}), ReadsSeen({})},
    ReadChannel("ShouldUpdateReadsRecordsAndCancelsTheNextRead", 1, {4096, 4096, 0}),
    ReadChannel("ShouldUpdateStopsAtARecordThatOverrunsTheRead", 2, {4096, 4096, 0}),
    ReadChannel("ShouldUpdateTakesAReplyNobodyWaitsFor", 3, {4096, 4096, 0}),
    ReadChannel("ShouldUpdateGrowsTheBufferItIsToldIsTooSmall", 4, {4096, 8192, 0}),
    {"ShouldUpdateCurrentDriverThatAnswersAfterTheCall", kShouldUpdate, kCurrent, 0, Running({{L"AnswerLater", 1}}),
     ReadsSeen({4096, 0})},
    {"ShouldUpdateSelfCheckRefused", kShouldUpdate,
     S({kUpToDate, "Driver communication was rejected. Error 0xc000a000\nExitCode: 1 (true)\n"}), 1,
     Running({{L"SelfCheckVerdict", 0xC000A000}})},
    {"ShouldUpdateSelfCheckAnswerTooShort", kShouldUpdate,
     S({kUpToDate, "Driver communication has failed. Error 0xd\nExitCode: 1 (true)\n"}), 1,
     Running({{L"SelfCheckBytes", 2}})},
};
// clang-format on

class CommandCases : public Cases {};
TEST_P(CommandCases, Row) { RunRow(); }
INSTANTIATE_TEST_SUITE_P(Tool, CommandCases, ::testing::ValuesIn(kRows), RowName);

} // namespace
} // namespace e2e
