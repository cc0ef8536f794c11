// The engine where Wine cannot produce the outcome: a stop refused with
// 1052, a service that stays marked for deletion, memory integrity, a
// loaded image that cannot be deleted, a failing setup library, deletion
// with POSIX semantics, a path too long for Windows, a volume mounted in a
// folder. The real service manager, setup library and test driver do the
// rest; only the one import that matters is redirected, and the clock, so
// that ten seconds of waiting take none.
#include "common/unique_handle.h"
#include "driverclient/device.h"
#include "driversetup/service_control.h"
#include "driversetup/service_registry.h"
#include "fileops/delete_file.h"
#include "fileops/hardlinks.h"
#include "frontend/log.h"
#include "ostrelsetup/ostrel_driver_setup.h"

#include "support/import_patch.h"
#include "support/qvtest.h"

#include <gtest/gtest.h>

#include <setupapi.h>

#include <cstdarg>
#include <numeric>
#include <regex>

namespace {

using namespace qvtest;
using namespace Orvane;

std::vector<std::wstring> g_lines;
ULONGLONG g_now;
std::vector<DWORD> g_sleeps;

void Record(const wchar_t* format, ...)
{
    wchar_t text[1024] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 1023, format, args);
    va_end(args);
    g_lines.push_back(text);
}

/// Time moves by Sleep, and by 1 ms a reading, so that a loop that spins
/// on the clock ends too.
ULONGLONG WINAPI FakeTicks() { return g_now++; }
void WINAPI FakeSleep(DWORD ms) { g_sleeps.push_back(ms), g_now += ms; }

/// A clock that only Sleep moves, a fresh log, and the driver installed.
class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveDriver();
        const RunResult run = qvtest::Run(ToolPath(), {L"-install", L"drivers-path=" + (BuildFolder() / L"testpkg").wstring()});
        ASSERT_EQ(run.exitCode, 0u) << run.output;
        g_lines.clear(), g_sleeps.clear(), g_now = 1ull << 32;
    }
    void TearDown() override { RemoveDriver(); }
    size_t Count(const std::wstring& prefix)
    {
        return std::count_if(g_lines.begin(), g_lines.end(), [&](auto& l) { return l.rfind(prefix, 0) == 0; });
    }
    Orvane::OstrelDriverSetup setup_{(BuildFolder() / L"testpkg").wstring() + L"\\", Record};
    ImportPatch ticks_ = PatchImport("kernel32.dll", "GetTickCount64", &FakeTicks);
    ImportPatch sleep_ = PatchImport("kernel32.dll", "Sleep", &FakeSleep);
};

BOOL WINAPI RefuseStop(SC_HANDLE, DWORD, SERVICE_STATUS*) { return SetLastError(1052), FALSE; }
BOOL WINAPI MarkedForDelete(SC_HANDLE) { return SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE), FALSE; }

TEST_F(Engine, StopRefusedUntilTheDeadlineDefersTheUpgrade)
{
    const auto refuse = PatchImport("advapi32.dll", "ControlService", &RefuseStop);
    EXPECT_EQ(setup_.Setup(setup_.GetDriverPackage(), true, 1), 2404u);
    EXPECT_EQ(g_sleeps, std::vector<DWORD>(10, 500));
    EXPECT_EQ(Count(L"ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x41c"), 10u);
    EXPECT_EQ(g_lines.back(), L"\"QvOstrel\" is currently in use. Driver upgrade will resume later\n");
    EXPECT_EQ(Count(L"Setup"), 0u) << "no INF section runs";
    EXPECT_EQ(ServiceState(), DWORD(SERVICE_RUNNING));
}

TEST_F(Engine, ServiceMarkedForDeleteIsWaitedFor10s)
{
    const auto marked = PatchImport("advapi32.dll", "DeleteService", &MarkedForDelete);
    EXPECT_EQ(DeleteDriverService(L"QvOstrel", Record), DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    EXPECT_EQ(g_sleeps, std::vector<DWORD>(20, 500));
    EXPECT_EQ(Count(L"DeleteService(\"QvOstrel\") = 0x430 (marked for delete)"), 20u);
    EXPECT_EQ(g_lines.back(), L"Operation timed out after 10s\n");
}

LONG WINAPI MemoryIntegrityOn(ULONG type, void* buffer, ULONG, ULONG*)
{
    static_cast<ULONG*>(buffer)[1] = type == 103 ? 0x400 : 0;
    return 0;
}

TEST_F(Engine, MemoryIntegrityRemovesTheOldDriverThroughItsPackageFirst)
{
    const auto on = PatchImport("ntdll.dll", "NtQuerySystemInformation", &MemoryIntegrityOn);
    EXPECT_EQ(setup_.Setup(setup_.GetDriverPackage(), true, 1), 0u);
    std::vector<std::wstring> sections;
    const std::wregex applied(LR"re(SetupInstallFromInfSection\("(.*)", SPINST_REGISTRY\) = 0x0\n)re");
    for (const std::wstring& line : g_lines)
        if (std::wsmatch m; std::regex_match(line, m, applied))
            sections.push_back(m[1]);
    EXPECT_EQ(sections, (std::vector<std::wstring>{L"Uninstall.NTamd64", L"Install.NTamd64"}));
    EXPECT_EQ(ServiceState(), DWORD(SERVICE_RUNNING));
}

/// Redirection as a 32-bit process has it, and the DLL loads made while it
/// is off: Windows fails those in a 32-bit process (Wine does not).
int g_redirectionOff = 0;
std::vector<std::wstring> g_loadsWhileOff;
decltype(&LoadLibraryExW) g_loadLibraryExW = nullptr;
BOOL WINAPI DisableRedirection(PVOID* old) { return *old = nullptr, ++g_redirectionOff, TRUE; }
BOOL WINAPI RevertRedirection(PVOID) { return --g_redirectionOff, TRUE; }
HMODULE WINAPI RecordLoad(LPCWSTR name, HANDLE file, DWORD flags)
{
    if (g_redirectionOff)
        g_loadsWhileOff.push_back(name);
    return g_loadLibraryExW(name, file, flags);
}

TEST_F(Engine, SystemDllsAreLoadedBeforeRedirectionGoesOff)
{
    const auto disable = PatchImport("kernel32.dll", "Wow64DisableWow64FsRedirection", &DisableRedirection);
    const auto revert = PatchImport("kernel32.dll", "Wow64RevertWow64FsRedirection", &RevertRedirection);
    const auto load = PatchImport("kernel32.dll", "LoadLibraryExW", &RecordLoad, &g_loadLibraryExW);
    EXPECT_EQ(setup_.Setup(setup_.GetDriverPackage(), true, 1), 0u);
    EXPECT_EQ(g_redirectionOff, 0);
    EXPECT_EQ(g_loadsWhileOff, std::vector<std::wstring>());
    EXPECT_TRUE(GetModuleHandleW(L"setupapi.dll") && GetModuleHandleW(L"version.dll"));
}

TEST_F(Engine, ALoadedImageIsRenamedAndDeletedAtRestart)
{
    Scratch tmp;
    const fs::path image = tmp / L"QvOstrel.sys";
    fs::copy_file(BuildFolder() / L"testpkg/Win10-x64/QvOstrel.sys", image);
    HANDLE file = CreateFileW(image.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    HANDLE section = CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
    CloseHandle(file);
    ASSERT_TRUE(section);
    EXPECT_EQ(DeleteFileOrDefer(image.wstring(), Record), 0u);
    CloseHandle(section);
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_EQ(g_lines[0].rfind(L"Delete(\"" + image.wstring() + L"\") = 0x", 0), 0u) << g_lines[0];
    std::wsmatch renamed;
    ASSERT_TRUE(std::regex_match(g_lines[1], renamed, std::wregex(LR"re(  Rename\("(.*)" -> "(.*)" \) = 0x0 "OK"\n)re")));
    const fs::path temporary = renamed[2].str();
    EXPECT_EQ(temporary.parent_path(), tmp.path());
    EXPECT_EQ(g_lines[2], L"  MoveFileEx(\"" + temporary.wstring() + L"\", MOVEFILE_DELAY_UNTIL_REBOOT) = 0x0 \"OK\"\n");
    EXPECT_TRUE(PendingRename(temporary));
}

TEST_F(Engine, BrokenStartValuesAreRepairedAndSoundOnesLeftAlone)
{
    const DWORD five = 5;
    SetServiceValue(L"ErrorControl", REG_DWORD, &five, 4);
    SetServiceValue(L"Start", REG_SZ, L"3", 4);
    RepairServiceStartValues(L"QvOstrel", Record);
    DWORD type = 0;
    EXPECT_EQ(ServiceDword(L"Start", &type), 1u);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(ServiceDword(L"ErrorControl"), 1u);
    EXPECT_EQ(g_lines.size(), 4u);
    g_lines.clear();
    SetServiceDword(L"Start", 4);
    SetServiceDword(L"ErrorControl", 3);
    RepairServiceStartValues(L"QvOstrel", Record);
    EXPECT_EQ(ServiceDword(L"Start"), 4u);
    EXPECT_EQ(ServiceDword(L"ErrorControl"), 3u);
    EXPECT_TRUE(g_lines.empty());
}

std::vector<DWORD> g_waits;
DWORD WINAPI FakeWait(HANDLE, DWORD ms) { return g_waits.push_back(ms), g_now += ms, WAIT_TIMEOUT; }

TEST_F(Engine, ReadsTheDriverNeverCancelsAreGivenUpAfter10sOfWaiting)
{
    SetServiceDword(L"IgnoreCancel", 1, true);
    const auto wait = PatchImport("kernel32.dll", "WaitForSingleObject", &FakeWait);
    g_waits.clear();
    const ULONGLONG start = g_now;
    EXPECT_EQ(setup_.StartDriver(), 0u);
    EXPECT_GE(g_now - start, 10000u);
    EXPECT_LT(g_now - start, 10500u);
    // It waits between cancel attempts, never spins: most of the time passes waiting.
    EXPECT_GT(std::accumulate(g_waits.begin(), g_waits.end(), 0ull), 9000u);
}

// The read channel against the test driver, which answers the first read
// at once and the second as a completion: the records of both delivered in
// order, a buffer grown while the driver says it is too small or has more
// data, a reply record signalling its waiter, and the last read cancelled at
// the close. Without the skip-on-success mode an answer at once comes as a
// completion too, and is delivered once. (Wine queues no completion for a
// warning such as more data answered at once when the mode is set, where
// Windows does: that answer is shown here without the mode.)
BOOL WINAPI NoCompletionModes(HANDLE, UCHAR) { return SetLastError(ERROR_NOT_SUPPORTED), FALSE; }

void KeepRecordSize(const void* record, OstrelDriver::COstrelDriver*, const wchar_t*, void* sizes)
{
    static_cast<std::vector<DWORD>*>(sizes)->push_back(*static_cast<const DWORD*>(record));
}

TEST(ReadChannel, TakesEachAnswerOfTheDriverOnTheRealClock)
{
    RemoveDriver();
    const RunResult run = qvtest::Run(ToolPath(), {L"-install", L"drivers-path=" + (BuildFolder() / L"testpkg").wstring()});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    const auto removeDriver = qv::make_scope_exit(RemoveDriver);
    const std::vector<DWORD> grown = {4096, 8192, 12288, 0}, twice = {4096, 4096, 4096, 0};
    std::vector<DWORD> moreData(32, 128);
    moreData.resize(64, 256);
    const struct {
        DWORD answer; // the test driver's ReadAnswer
        bool modeFails;
        std::vector<DWORD> records, seen;
        bool replied;
    } cases[] = {
        {0x101, false, {120, 96, 200, 120, 96, 200}, twice, false},
        {0x102, false, {120, 120}, twice, false}, // each stops at a reply cut short
        {0x103, false, {96, 120, 96, 120}, twice, true},
        {0x104, false, {}, grown, false},
        {0x105, true, moreData, grown, false},
        {0x101, true, {120, 96, 200, 120, 96, 200}, twice, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        SetServiceDword(L"ReadAnswer", c.answer, true);
        std::vector<DWORD> sizes;
        qv::unique_handle reply(CreateEventW(nullptr, TRUE, FALSE, nullptr)), pause(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        bool replied = false;
        {
            const auto mode = PatchImport("kernel32.dll", "SetFileCompletionNotificationModes",
                                          c.modeFails ? &NoCompletionModes : &SetFileCompletionNotificationModes);
            OstrelDriver::COstrelDriverSystem device;
            ASSERT_EQ(device.OpenDevice(nullptr), 0u);
            device.RecordCallback = KeepRecordSize, device.RecordContext = &sizes;
            device.PendingReplies[7] = reply.get();
            device.Pool = &OstrelDriver::GetIoPool();
            ASSERT_EQ(OstrelDriver::StartIo(*device.Pool, device.Handle.get(), &device, device.Channel), 0u);
            for (int i = 0; i < 500 && DriverReadsSeen().size() < c.seen.size() - 1; ++i)
                WaitForSingleObject(pause.get(), 10);
            replied = WaitForSingleObject(reply.get(), 0) == WAIT_OBJECT_0;
        }
        EXPECT_EQ(sizes, c.records);
        EXPECT_EQ(DriverReadsSeen(), c.seen);
        EXPECT_EQ(replied, c.replied);
    }
}

decltype(&GetFileInformationByHandleEx) g_listing;

BOOL WINAPI ListingFailsAfterItsFirstPart(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* buffer, DWORD size)
{
    static int parts = 0;
    if (kind == FileIdBothDirectoryInfo && ++parts > 1)
        return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    return g_listing(file, kind, buffer, size);
}

TEST(Hardlinks, AListingThatFailsPartWayLeavesWhatItListedHandled)
{
    Scratch tmp;
    WriteBytes(tmp / L"hl\\entry", "x");
    OpenLogFile((tmp / L"log").wstring());
    {
        const auto failing =
            PatchImport("kernel32.dll", "GetFileInformationByHandleEx", &ListingFailsAfterItsFirstPart, &g_listing);
        EXPECT_FALSE(CleanupOstrelHardlinks((tmp / L"hl").wstring()));
    }
    CloseLogFile();
    const std::string log = ReadBytes(tmp / L"log");
    EXPECT_NE(log.find("] Delete file " + U8(tmp / L"hl\\entry") + "\n["), std::string::npos) << log;
    EXPECT_NE(log.find("] CleanupOstrelHardlinks exception: "), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(tmp / L"hl\\entry"));
    EXPECT_TRUE(fs::exists(tmp / L"hl"));
}

// Deletion through a handle: with POSIX semantics where the system takes
// them (Windows 10 1709 and later; Wine 8 answers 87), else the classic way.
// The hardlinks clean-up never ignores the read-only attribute, so such an
// entry is still moved and deleted at restart.
decltype(&SetFileInformationByHandle) g_setInfo;
DWORD g_posixAnswer;
std::vector<std::pair<int, DWORD>> g_dispositions; // the class asked for, its flags

BOOL WINAPI RecordDisposition(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* info, DWORD size)
{
    g_dispositions.emplace_back(kind, kind == 21 ? *static_cast<const DWORD*>(info) : *static_cast<const BYTE*>(info));
    if (kind != 21) // FileDispositionInfoEx
        return g_setInfo(file, kind, info, size);
    if (g_posixAnswer != 0)
        return SetLastError(g_posixAnswer), FALSE;
    FILE_DISPOSITION_INFO classic = {TRUE};
    return g_setInfo(file, FileDispositionInfo, &classic, sizeof(classic));
}

TEST(Hardlinks, DeletionIsPosixWhereTheSystemTakesItAndClassicElse)
{
    for (const DWORD answer : {0ul, 87ul, 50ul, 1ul}) {
        Scratch tmp;
        WriteBytes(tmp / L"hl\\entry", "x");
        WriteBytes(tmp / L"file", "x");
        g_dispositions.clear(), g_posixAnswer = answer;
        {
            const auto recording = PatchImport("kernel32.dll", "SetFileInformationByHandle", &RecordDisposition, &g_setInfo);
            EXPECT_TRUE(CleanupOstrelHardlinks((tmp / L"hl").wstring()));
            EXPECT_EQ(DeleteFileOrDefer((tmp / L"file").wstring(), nullptr), 0u);
        }
        // The entry, the folder, then the file that may be read-only.
        const std::vector<std::pair<int, DWORD>> posix = {{21, 3}, {21, 3}, {21, 0x13}};
        const std::vector<std::pair<int, DWORD>> classic = {{21, 3}, {4, 1}, {21, 3}, {4, 1}, {21, 0x13}, {4, 1}};
        EXPECT_EQ(g_dispositions, answer ? classic : posix) << answer;
        EXPECT_FALSE(fs::exists(tmp / L"hl")) << answer;
        EXPECT_FALSE(fs::exists(tmp / L"file")) << answer;
    }
}

// Windows finds no plain path of MAX_PATH characters or more (Wine does), and
// only Windows mounts volumes in folders; their path on the volume is "\".
decltype(&CreateFileW) g_createFile;
decltype(&GetFileAttributesW) g_attributes;
decltype(&GetFinalPathNameByHandleW) g_finalPath;

bool TooLong(const wchar_t* name) { return wcslen(name) >= MAX_PATH && wcsncmp(name, L"\\\\?\\", 4) != 0; }

HANDLE WINAPI CreateShortFile(const wchar_t* name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                              DWORD disposition, DWORD flags, HANDLE model)
{
    if (TooLong(name))
        return SetLastError(ERROR_PATH_NOT_FOUND), INVALID_HANDLE_VALUE;
    return g_createFile(name, access, share, security, disposition, flags, model);
}

DWORD WINAPI ShortAttributes(const wchar_t* name)
{
    return TooLong(name) ? (SetLastError(ERROR_PATH_NOT_FOUND), INVALID_FILE_ATTRIBUTES) : g_attributes(name);
}

DWORD WINAPI MountedInAFolder(HANDLE file, wchar_t* buffer, DWORD size, DWORD flags)
{
    if (flags != VOLUME_NAME_NONE)
        return g_finalPath(file, buffer, size, flags);
    return size < 2 ? 2 : (wcscpy(buffer, L"\\"), 1);
}

TEST(Hardlinks, ALongPathIsOpenedInItsExtendedFormAndAMountedVolumeRefused)
{
    Scratch tmp;
    const fs::path hl = tmp / (std::wstring(130, L'a') + L"\\" + std::wstring(130, L'b') + L"\\hl");
    WriteBytes(hl / L"entry", "x");
    WriteBytes(tmp / L"mounted\\entry", "x");
    OpenLogFile((tmp / L"log").wstring());
    {
        const auto files = PatchImport("kernel32.dll", "CreateFileW", &CreateShortFile, &g_createFile);
        const auto attributes = PatchImport("kernel32.dll", "GetFileAttributesW", &ShortAttributes, &g_attributes);
        EXPECT_TRUE(CleanupOstrelHardlinks(hl.wstring()));
    }
    {
        const auto mounted = PatchImport("kernel32.dll", "GetFinalPathNameByHandleW", &MountedInAFolder, &g_finalPath);
        EXPECT_FALSE(CleanupOstrelHardlinks((tmp / L"mounted").wstring()));
    }
    CloseLogFile();
    const std::string log = ReadBytes(tmp / L"log");
    EXPECT_NE(log.find("] Delete file " + U8(hl / L"entry") + "\n["), std::string::npos) << log;
    EXPECT_NE(log.find("] Success on deleting HL folder : " + U8(hl) + "\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(hl));
    EXPECT_NE(log.find("] Refused to clean up HL folder " + U8(tmp / L"mounted") + ": it is a volume root\n"),
              std::string::npos) << log;
    EXPECT_TRUE(fs::exists(tmp / L"mounted\\entry"));
}

// The setup library, step by step: a step fails on its return value; the
// library's non-interactive mode spans the section and is put back.
DWORD g_failure;
std::vector<BOOL> g_modes;
BOOL g_mode;

template <class F>
struct Failing;
template <class R, class... A>
struct Failing<R(A...)> {
    static R WINAPI Call(A...)
    {
        SetLastError(g_failure);
        if constexpr (std::is_same_v<R, BOOL>)
            return FALSE;
        else
            return reinterpret_cast<R>(INVALID_HANDLE_VALUE);
    }
};

/// A step's export name and its failing replacement.
// clang-format off
#define QV_FAILING(f) {#f, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Failing<decltype(f)>::Call))}
// clang-format on

BOOL WINAPI RecordMode(BOOL mode)
{
    g_modes.push_back(mode);
    return std::exchange(g_mode, mode);
}

struct Section {
    const std::wstring folder = (BuildFolder() / L"testpkg/Win10-x64").wstring();
    DWORD Apply()
    {
        Orvane::OstrelDriverSetup setup(L"", Record);
        g_lines.clear(), g_modes.clear(), g_mode = FALSE;
        return setup.InstallInfSection(folder + L"\\QvOstrel.inf", L"Install.NTamd64", folder);
    }
    ~Section() { RemoveDriver(); }
    ProcAddressOverride mode_{"SetupSetNonInteractiveMode", &RecordMode};
};

TEST(SetupLibrary, AFailingStepEndsTheSectionWithItsCode)
{
    Section section;
    const auto fail = [&](int step, DWORD code) {
        static const std::pair<const char*, FARPROC> steps[] = {
            QV_FAILING(SetupOpenInfFileW), QV_FAILING(SetupOpenFileQueue), QV_FAILING(SetupInstallFilesFromInfSectionW),
            QV_FAILING(SetupInstallServicesFromInfSectionW), QV_FAILING(SetupCommitFileQueueW),
            QV_FAILING(SetupInstallFromInfSectionW)};
        const ProcAddressOverride failing(steps[step].first, steps[step].second);
        g_failure = code;
        return section.Apply();
    };
    for (int step = 0; step < 6; ++step) {
        for (DWORD code : {DWORD(ERROR_ACCESS_DENIED), DWORD(0)}) {
            EXPECT_EQ(fail(step, code), code ? code : ERROR_INSTALL_FAILURE) << step;
            ASSERT_EQ(g_lines.size(), size_t(step + 1)) << step;
            EXPECT_NE(g_lines.back().find(code ? L") = 0x5\n" : L") = 0x643\n"), std::wstring::npos) << step;
            EXPECT_EQ(g_modes, (std::vector<BOOL>{TRUE, FALSE})) << step;
        }
    }
    EXPECT_EQ(section.Apply(), 0u);
    EXPECT_EQ(g_lines.size(), 6u);
    EXPECT_EQ(g_modes, (std::vector<BOOL>{TRUE, FALSE}));
}

// The commit's questions: answered without a user, never by the default
// callback, which would ask one.
std::vector<std::pair<UINT, DWORD>> g_answers;
int g_defaultCalls;

BOOL WINAPI AskEveryQuestion(HWND, HSPFILEQ, PSP_FILE_CALLBACK_W callback, PVOID context)
{
    SOURCE_MEDIA_W media = {nullptr, L"Q:\\nowhere", L"QvOstrel.sys", nullptr, nullptr, 0};
    FILEPATHS_W failed = {};
    failed.Win32Error = ERROR_ACCESS_DENIED;
    const auto media1 = reinterpret_cast<UINT_PTR>(&media), failed1 = reinterpret_cast<UINT_PTR>(&failed);
    for (auto [notification, param1] : {std::pair<UINT, UINT_PTR>{SPFILENOTIFY_NEEDMEDIA, media1},
                                        {SPFILENOTIFY_COPYERROR, failed1}, {SPFILENOTIFY_RENAMEERROR, failed1},
                                        {SPFILENOTIFY_DELETEERROR, failed1}, {SPFILENOTIFY_TARGETEXISTS, failed1},
                                        {SPFILENOTIFY_TARGETNEWER, failed1}}) {
        SetLastError(0);
        const UINT answer = callback(context, notification, param1, 0);
        g_answers.emplace_back(answer, GetLastError());
    }
    return TRUE;
}

UINT WINAPI CountDefault(PVOID, UINT, UINT_PTR, UINT_PTR) { return ++g_defaultCalls, FILEOP_DOIT; }

TEST(SetupLibrary, TheCommitAnswersEveryQuestionItself)
{
    Section section;
    const ProcAddressOverride commit("SetupCommitFileQueueW", &AskEveryQuestion);
    const ProcAddressOverride fallback("SetupDefaultQueueCallbackW", &CountDefault);
    EXPECT_EQ(section.Apply(), 0u);
    const std::vector<std::pair<UINT, DWORD>> expected = {
        {FILEOP_ABORT, ERROR_FILE_NOT_FOUND}, {FILEOP_ABORT, ERROR_ACCESS_DENIED}, {FILEOP_ABORT, ERROR_ACCESS_DENIED},
        {FILEOP_SKIP, 0}, {TRUE, 0}, {TRUE, 0}};
    EXPECT_EQ(g_answers, expected);
    EXPECT_EQ(g_defaultCalls, 0);
}

} // namespace
