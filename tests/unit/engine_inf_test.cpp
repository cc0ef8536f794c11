// One INF section through the setup library: the six logged calls, their
// order and arguments, and the end at the first failure. The setup library
// is a redirected import of the test exe that only records, so nothing is
// installed; one test runs the real library on an INF that has nothing to
// install but one registry value of its own, removed afterwards.
#include "driversetup/driver_setup.h"

#include "support/engine_fakes.h"
#include "support/tool_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qvtest::FakeSetupLibrary;
using qvtest::RecordedLines;
using qvtest::RecordedText;
using qvtest::RecordLog;
using qvtest::TestDriverSetup;

using Lines = std::vector<std::wstring>;
using Calls = std::vector<std::string>;

const std::wstring kInf = L"C:\\pkg\\Win10-x64\\QvOstrel.inf";
const std::wstring kSource = L"C:\\pkg\\Win10-x64";
const std::wstring kSection = L"Install.NTamd64";

class EngineInf : public ::testing::Test {
protected:
    void SetUp() override { qvtest::ClearRecordedLog(); }

    /// The engine's own InstallInfSection, not the recording override.
    DWORD Apply(const std::wstring& section = kSection)
    {
        return setup_.DriverSetup::InstallInfSection(kInf, section, kSource);
    }

    TestDriverSetup setup_{DriverPackage{}, &RecordLog};
};

std::wstring Hex(DWORD code)
{
    wchar_t text[16] = {};
    _snwprintf(text, 15, L"0x%lx", code);
    return text;
}

/// The six lines of the section, each with its code.
Lines SectionLines(const std::wstring& section, const DWORD (&codes)[6])
{
    return {L"SetupOpenInfFile(\"" + kInf + L"\") = " + Hex(codes[0]) + L"\n",
            L"SetupOpenFileQueue() = " + Hex(codes[1]) + L"\n",
            L"SetupInstallFilesFromInfSection(\"" + kInf + L"\", \"" + section + L"\") = " +
                Hex(codes[2]) + L"\n",
            L"SetupInstallServicesFromInfSection(\"" + kInf + L"\", \"" + section +
                L".Services\") = " + Hex(codes[3]) + L"\n",
            L"SetupCommitFileQueue(SetupDefaultQueueCallback) = " + Hex(codes[4]) + L"\n",
            L"SetupInstallFromInfSection(\"" + section + L"\", SPINST_REGISTRY) = " + Hex(codes[5]) +
                L"\n"};
}

const Calls kAllCalls = {"SetupOpenInfFileW",
                         "SetupOpenFileQueue",
                         "SetupInstallFilesFromInfSectionW",
                         "SetupInstallServicesFromInfSectionW",
                         "SetupInitDefaultQueueCallbackEx",
                         "SetupCommitFileQueueW",
                         "SetupInstallFromInfSectionW",
                         "SetupTermDefaultQueueCallback",
                         "SetupCloseFileQueue",
                         "SetupCloseInfFile"};

UINT g_delegated = 0;
UINT CALLBACK RecordDefaultCallback(PVOID, UINT notification, UINT_PTR, UINT_PTR)
{
    g_delegated = notification;
    return FILEOP_DOIT;
}

/// The commit's callback answers every notification where the default
/// callback would ask a user; the others go to the default callback.
void ExpectUnattendedCommitCallback(PSP_FILE_CALLBACK_W callback)
{
    ASSERT_NE(callback, nullptr);
    qvtest::ProcAddressOverride delegate("SetupDefaultQueueCallbackW", &RecordDefaultCallback);
    SOURCE_MEDIA_W media = {};
    FILEPATHS_W failed = {};
    failed.Win32Error = ERROR_ACCESS_DENIED;
    FILEPATHS_W failedWithoutCode = {};
    const UINT_PTR kMedia = reinterpret_cast<UINT_PTR>(&media);
    const UINT_PTR kFailed = reinterpret_cast<UINT_PTR>(&failed);
    const UINT_PTR kNoCode = reinterpret_cast<UINT_PTR>(&failedWithoutCode);
    const struct {
        UINT Notification;
        UINT_PTR Param1;
        UINT Answer;
        DWORD LastError; // 0: not checked
    } rows[] = {
        {SPFILENOTIFY_NEEDMEDIA, kMedia, FILEOP_ABORT, ERROR_FILE_NOT_FOUND}, // source missing
        {SPFILENOTIFY_COPYERROR, kFailed, FILEOP_ABORT, ERROR_ACCESS_DENIED},
        {SPFILENOTIFY_RENAMEERROR, kFailed, FILEOP_ABORT, ERROR_ACCESS_DENIED},
        {SPFILENOTIFY_BACKUPERROR, kNoCode, FILEOP_ABORT, ERROR_INSTALL_FAILURE},
        {SPFILENOTIFY_DELETEERROR, kFailed, FILEOP_SKIP, 0},
        {SPFILENOTIFY_TARGETEXISTS, kFailed, TRUE, 0},
        {SPFILENOTIFY_TARGETNEWER, kFailed, TRUE, 0},
        {SPFILENOTIFY_TARGETNEWER | SPFILENOTIFY_LANGMISMATCH, kFailed, TRUE, 0},
    };
    g_delegated = 0;
    for (const auto& row : rows) {
        SetLastError(0);
        EXPECT_EQ(callback(nullptr, row.Notification, row.Param1, 0), row.Answer) << row.Notification;
        if (row.LastError != 0) {
            EXPECT_EQ(GetLastError(), row.LastError) << row.Notification;
        }
    }
    EXPECT_EQ(g_delegated, 0u) << "no question reaches the default callback";

    // A source that is there is taken as it is; other notifications go to
    // the default callback.
    qvtest::ScratchFolder scratch;
    qvtest::WriteFileBytes((scratch / L"QvOstrel.sys").wstring(), "MZ");
    const std::wstring folder = scratch.path().wstring();
    media.SourcePath = folder.c_str();
    media.SourceFile = L"QvOstrel.sys";
    EXPECT_EQ(callback(nullptr, SPFILENOTIFY_NEEDMEDIA, kMedia, 0), static_cast<UINT>(FILEOP_DOIT));
    EXPECT_EQ(g_delegated, 0u);
    EXPECT_EQ(callback(nullptr, SPFILENOTIFY_STARTCOPY, 0, 0), static_cast<UINT>(FILEOP_DOIT));
    EXPECT_EQ(g_delegated, static_cast<UINT>(SPFILENOTIFY_STARTCOPY));
}

TEST_F(EngineInf, SuccessfulSectionLogsSixLinesInOrder)
{
    FakeSetupLibrary library;
    EXPECT_EQ(Apply(), 0u);
    EXPECT_EQ(library.InteractiveSteps, 0) << "every step in the non-interactive mode";
    EXPECT_FALSE(library.NonInteractive) << "the mode is restored";
    const DWORD ok[6] = {};
    EXPECT_EQ(RecordedLines(), SectionLines(kSection, ok)) << RecordedText();
    EXPECT_EQ(library.Calls, kAllCalls) << "services before the commit, registry last";

    EXPECT_EQ(library.InfPath, kInf);
    EXPECT_EQ(library.InfClass, nullptr);
    EXPECT_EQ(library.InfStyle, static_cast<DWORD>(INF_STYLE_WIN4));
    EXPECT_EQ(library.ErrorLine, nullptr);
    EXPECT_EQ(library.FilesSection, kSection);
    EXPECT_EQ(library.FilesSource, kSource);
    EXPECT_EQ(library.FilesLayout, nullptr);
    EXPECT_EQ(library.FilesCopyFlags, 0u);
    EXPECT_EQ(library.ServicesSection, kSection + L".Services");
    EXPECT_EQ(library.ServicesFlags, 0u);
    EXPECT_EQ(library.ContextOwner, nullptr);
    EXPECT_EQ(library.ContextProgress, static_cast<HWND>(INVALID_HANDLE_VALUE)) << "no progress display";
    EXPECT_EQ(library.CommitOwner, nullptr);
    EXPECT_EQ(library.CommitContext, FakeSetupLibrary::Context());
    ExpectUnattendedCommitCallback(library.CommitCallback);
    EXPECT_EQ(library.RegistrySection, kSection);
    EXPECT_EQ(library.RegistryFlags, static_cast<UINT>(SPINST_REGISTRY));
    EXPECT_EQ(library.RegistrySource, kSource);
    EXPECT_EQ(library.RegistryRoot, nullptr);
    EXPECT_EQ(library.RegistryCopyFlags, 0u);
    EXPECT_FALSE(library.RegistryHandlerGiven);

    // Another section name passes through, with ".Services" appended.
    qvtest::ClearRecordedLog();
    library.Calls.clear();
    EXPECT_EQ(Apply(L"Uninstall.NTamd64"), 0u);
    EXPECT_EQ(RecordedLines(), SectionLines(L"Uninstall.NTamd64", ok)) << RecordedText();
    EXPECT_EQ(library.ServicesSection, L"Uninstall.NTamd64.Services");

    // Without a callback context the queue is still committed, and no
    // context is released.
    qvtest::ClearRecordedLog();
    library.Calls.clear();
    library.NoQueueContext = true;
    library.NonInteractive = TRUE;
    EXPECT_EQ(Apply(), 0u);
    EXPECT_TRUE(library.NonInteractive) << "the previous mode is restored";
    EXPECT_EQ(RecordedLines(), SectionLines(kSection, ok)) << RecordedText();
    EXPECT_EQ(library.CommitContext, nullptr);
    EXPECT_EQ(library.Count("SetupCommitFileQueueW"), 1);
    EXPECT_EQ(library.Count("SetupTermDefaultQueueCallback"), 0);
    EXPECT_EQ(library.Count("SetupCloseFileQueue"), 1);
    EXPECT_EQ(library.Count("SetupCloseInfFile"), 1);
}

TEST_F(EngineInf, FailureAtEachStepEndsTheSectionThere)
{
    const DWORD codes[6] = {0xE000020Bu, 8u, 0xE0000102u, 0xE0000217u, 1234u, 0xE0000101u};
    // The calls made when each step fails: the failing one, then the
    // releases of what was opened. Files are committed only in steps 4 and 5.
    const Calls made[6] = {
        {"SetupOpenInfFileW"},
        {"SetupOpenInfFileW", "SetupOpenFileQueue", "SetupCloseInfFile"},
        {"SetupOpenInfFileW", "SetupOpenFileQueue", "SetupInstallFilesFromInfSectionW",
         "SetupCloseFileQueue", "SetupCloseInfFile"},
        {"SetupOpenInfFileW", "SetupOpenFileQueue", "SetupInstallFilesFromInfSectionW",
         "SetupInstallServicesFromInfSectionW", "SetupCloseFileQueue", "SetupCloseInfFile"},
        {"SetupOpenInfFileW", "SetupOpenFileQueue", "SetupInstallFilesFromInfSectionW",
         "SetupInstallServicesFromInfSectionW", "SetupInitDefaultQueueCallbackEx",
         "SetupCommitFileQueueW", "SetupTermDefaultQueueCallback", "SetupCloseFileQueue",
         "SetupCloseInfFile"},
        kAllCalls};

    for (int step = 0; step < 6; ++step) {
        qvtest::ClearRecordedLog();
        FakeSetupLibrary library;
        library.FailStep = step;
        library.FailCode = codes[step];
        EXPECT_EQ(Apply(), codes[step]) << step;

        DWORD lineCodes[6] = {};
        lineCodes[step] = codes[step];
        Lines expected = SectionLines(kSection, lineCodes);
        expected.resize(static_cast<size_t>(step) + 1);
        EXPECT_EQ(RecordedLines(), expected) << step << "\n" << RecordedText();
        EXPECT_EQ(library.Calls, made[step]) << step;
        EXPECT_EQ(library.InteractiveSteps, 0) << step;
        EXPECT_FALSE(library.NonInteractive) << step << ": the mode is restored";
    }

    // A step that fails without a last error still ends the section, with
    // a code that says it failed.
    for (int step = 0; step < 6; ++step) {
        qvtest::ClearRecordedLog();
        FakeSetupLibrary library;
        library.FailStep = step;
        EXPECT_EQ(Apply(), static_cast<DWORD>(ERROR_INSTALL_FAILURE)) << step;
        EXPECT_EQ(library.Calls, made[step]) << step;
    }

    // The handle steps also fail when the library gives a null handle.
    for (int step = 0; step < 2; ++step) {
        qvtest::ClearRecordedLog();
        FakeSetupLibrary library;
        library.FailStep = step;
        library.FailCode = codes[step];
        library.FailWithNull = true;
        EXPECT_EQ(Apply(), codes[step]) << step;
        EXPECT_EQ(RecordedLines().size(), static_cast<size_t>(step) + 1) << RecordedText();
        EXPECT_EQ(library.Calls, made[step]) << step;
    }
}

/// HKCU\Software\QvUnitInfSection, removed when made and when gone.
class ScopedUserKey {
public:
    ScopedUserKey() { Remove(); }
    ~ScopedUserKey() { Remove(); }
    static void Remove() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QvUnitInfSection"); }
    static bool ReadApplied(DWORD& value)
    {
        DWORD size = sizeof(value);
        return RegGetValueW(HKEY_CURRENT_USER, L"Software\\QvUnitInfSection", L"Applied",
                            RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
    }
};

TEST_F(EngineInf, RealSetupLibraryRunsASectionWithNothingToInstall)
{
    ScopedUserKey userKey;
    qvtest::ScratchFolder scratch;
    const std::wstring inf = (scratch / L"QvUnitInf.inf").wstring();
    qvtest::WriteFileBytes(inf, "[Version]\r\n"
                                "Signature = \"$WINDOWS NT$\"\r\n"
                                "\r\n"
                                "[Install.NTamd64]\r\n"
                                "AddReg = QvUnitInf.AddReg\r\n"
                                "\r\n"
                                "[Install.NTamd64.Services]\r\n"
                                "Comment = nothing to install\r\n"
                                "\r\n"
                                "[QvUnitInf.AddReg]\r\n"
                                "HKCU,\"Software\\QvUnitInfSection\",\"Applied\",0x00010001,7\r\n");
    EXPECT_EQ(setup_.DriverSetup::InstallInfSection(inf, kSection, scratch.path().wstring()), 0u)
        << RecordedText();
    ASSERT_EQ(RecordedLines().size(), 6u) << RecordedText();
    EXPECT_EQ(RecordedLines()[0], L"SetupOpenInfFile(\"" + inf + L"\") = 0x0\n");
    EXPECT_EQ(RecordedLines()[5], L"SetupInstallFromInfSection(\"Install.NTamd64\", SPINST_REGISTRY) = 0x0\n");
    DWORD applied = 0;
    EXPECT_TRUE(ScopedUserKey::ReadApplied(applied)) << "the registry directives ran";
    EXPECT_EQ(applied, 7u);

    // A file that is not there fails the first step with the system's code.
    qvtest::ClearRecordedLog();
    const std::wstring missing = (scratch / L"Missing.inf").wstring();
    const DWORD code = setup_.DriverSetup::InstallInfSection(missing, kSection, scratch.path().wstring());
    EXPECT_NE(code, 0u);
    EXPECT_EQ(RecordedLines(), (Lines{L"SetupOpenInfFile(\"" + missing + L"\") = " + Hex(code) + L"\n"}));
}

} // namespace
