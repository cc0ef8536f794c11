// The check and the repairs of a service's registry values, on a real key
// HKLM\SYSTEM\CurrentControlSet\Services\<made-up name> (64-bit view) that
// each test creates and removes. No service of these names exists; where the
// repair asks the service manager for a service's type, a fake one answers.
#include "driversetup/driver_setup.h"
#include "driversetup/service_registry.h"

#include "support/engine_fakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qvtest::FakeServiceManager;
using qvtest::RecordedLines;
using qvtest::RecordedText;
using qvtest::RecordLog;
using qvtest::ScopedServiceKey;
using qvtest::TestDriverSetup;

using Lines = std::vector<std::wstring>;

/// A package naming the service and, through SysPath, the driver's file name.
DriverPackage PackageFor(const std::wstring& name, const std::wstring& sysName)
{
    return {name, L"C:\\pkg\\Win10-x64\\" + name + L".inf", L"C:\\pkg\\Win10-x64\\" + sysName,
            L"C:\\pkg\\Win10-x64\\" + name + L".cat", L"Install.NTamd64", L"Uninstall.NTamd64"};
}

class EngineRegistry : public ::testing::Test {
protected:
    void SetUp() override { qvtest::ClearRecordedLog(); }

    /// The check, with the lines it wrote since the last call.
    bool Verify(const DriverPackage& package)
    {
        qvtest::ClearRecordedLog();
        TestDriverSetup setup(package, &RecordLog);
        return setup.VerifyServiceRegistry(package);
    }
};

std::wstring ImagePathLine(const std::wstring& text, DWORD type, const std::wstring& expected,
                           const wchar_t* code)
{
    return L"RegQueryValue(\"ImagePath\":\"" + text + L"\", Type:" + std::to_wstring(type) +
           L", Expected:\"" + expected + L"\") = " + code + L"\n";
}

TEST_F(EngineRegistry, CheckNamesTheFirstValueThatFails)
{
    const std::wstring name = L"QvUnitRegCheck";
    const DriverPackage package = PackageFor(name, name + L".sys");
    ScopedServiceKey key(name);
    EXPECT_FALSE(Verify(package)) << "no key";
    EXPECT_TRUE(RecordedLines().empty()) << RecordedText();

    key.SetSound(name + L".sys");
    EXPECT_TRUE(Verify(package));
    EXPECT_TRUE(RecordedLines().empty()) << RecordedText();

    key.SetDword(L"Start", SERVICE_DISABLED);
    EXPECT_TRUE(Verify(package)) << "Start may hold any value";
    key.SetDword(L"ErrorControl", SERVICE_ERROR_CRITICAL);
    EXPECT_TRUE(Verify(package));
    for (DWORD type : {SERVICE_FILE_SYSTEM_DRIVER, SERVICE_RECOGNIZER_DRIVER}) {
        key.SetDword(L"Type", type);
        EXPECT_TRUE(Verify(package)) << type;
    }

    key.SetDword(L"Type", SERVICE_WIN32_OWN_PROCESS);
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines(), Lines{L"RegQueryValue(\"Type\":0x10, Type:4) = 0x0\n"});
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);

    key.SetText(L"Start", REG_SZ, L"1");
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines(), Lines{L"RegQueryValue(\"Start\":49, Type:1) = 0x0\n"});
    key.SetDword(L"Start", SERVICE_DEMAND_START);

    key.SetDword(L"ErrorControl", 4);
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines(), Lines{L"RegQueryValue(\"ErrorControl\":4, Type:4) = 0x0\n"});

    // Only the first failed value is named.
    key.SetDword(L"Type", SERVICE_WIN32_OWN_PROCESS);
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines().size(), 1u) << RecordedText();
}

TEST_F(EngineRegistry, ImagePathIsComparedAsStoredIgnoringCase)
{
    const std::wstring name = L"QvUnitRegImage";
    const DriverPackage package = PackageFor(name, name + L".sys");
    const std::wstring expected = L"system32\\DRIVERS\\" + name + L".sys";
    ScopedServiceKey key(name);
    key.SetSound(name + L".sys");

    key.SetText(L"ImagePath", REG_SZ, L"SYSTEM32\\drivers\\qvunitregimage.SYS");
    EXPECT_TRUE(Verify(package)) << RecordedText();
    key.SetText(L"ImagePath", REG_EXPAND_SZ, expected);
    EXPECT_TRUE(Verify(package)) << RecordedText();

    for (const std::wstring& text : {L"\\SystemRoot\\" + expected, L"C:\\windows\\" + expected,
                                     L"%SystemRoot%\\" + expected, expected + L" "}) {
        key.SetText(L"ImagePath", REG_EXPAND_SZ, text);
        EXPECT_FALSE(Verify(package));
        EXPECT_EQ(RecordedLines(), Lines{ImagePathLine(text, REG_EXPAND_SZ, expected, L"0x0")});
    }

    const std::wstring multi = expected + std::wstring(1, L'\0');
    key.SetRaw(L"ImagePath", REG_MULTI_SZ, multi.c_str(),
               static_cast<DWORD>((multi.size() + 1) * sizeof(wchar_t)));
    EXPECT_FALSE(Verify(package)) << "a matching text of the wrong type";
    EXPECT_EQ(RecordedLines(), Lines{ImagePathLine(expected, REG_MULTI_SZ, expected, L"0x0")});

    key.SetDword(L"ImagePath", 1);
    EXPECT_FALSE(Verify(package));
    key.Remove();
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);
    key.SetDword(L"Start", SERVICE_DEMAND_START);
    key.SetDword(L"ErrorControl", SERVICE_ERROR_NORMAL);
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines(), Lines{ImagePathLine(L"", 0, expected, L"0x2")}) << "missing";
}

TEST_F(EngineRegistry, ImagePathThatFillsTheWholeBuffer)
{
    // "system32\DRIVERS\" is 17 units: a file name of 243 units makes the
    // expected path exactly 260 units (520 bytes), the size of the buffer.
    const std::wstring name = L"QvUnitRegLong";
    const std::wstring longName = std::wstring(239, L'q') + L".sys";
    const std::wstring full = L"system32\\DRIVERS\\" + longName;
    ASSERT_EQ(full.size(), 260u);
    ScopedServiceKey key(name);
    key.SetSound(longName);

    // 520 bytes and no terminator: compared as its 260 units. (The unit
    // after the data must not be 0, or the registry counts it in.)
    const std::wstring unterminated = full + L"X";
    key.SetRaw(L"ImagePath", REG_SZ, unterminated.c_str(), 520);
    EXPECT_TRUE(Verify(PackageFor(name, longName))) << RecordedText();
    // The same 260 units do not make a 261-unit path.
    EXPECT_FALSE(Verify(PackageFor(name, longName + L"x")));
    EXPECT_EQ(RecordedLines().size(), 1u);
    // 259 units and the terminator fit too.
    const std::wstring shorter = full.substr(0, 17) + longName.substr(1);
    key.SetText(L"ImagePath", REG_SZ, shorter);
    EXPECT_TRUE(Verify(PackageFor(name, longName.substr(1)))) << RecordedText();
    // 260 units and the terminator do not: the read fails, nothing is shown.
    key.SetText(L"ImagePath", REG_SZ, full);
    EXPECT_FALSE(Verify(PackageFor(name, longName)));
    EXPECT_EQ(RecordedLines(), Lines{ImagePathLine(L"", REG_SZ, full, L"0xea")});
}

TEST_F(EngineRegistry, RepairsRewriteOnlyWhatIsMissingOrInvalid)
{
    const std::wstring name = L"QvUnitRegRepair";
    const DriverPackage package = PackageFor(name, name + L".sys");
    const std::wstring keyLine = L"RegCreateKey(\"SYSTEM\\CurrentControlSet\\Services\\" + name +
                                 L"\", Disposition:new key) = 0x0\n";
    ScopedServiceKey key(name);
    DWORD type = 0, data = 0;

    // No key: the start repair creates it and writes both values.
    Orvane::RepairServiceStartValues(name, &RecordLog);
    EXPECT_EQ(RecordedLines(), (Lines{keyLine, L"RegQueryValue(\"Start\":0, Type:0) = 0x2\n",
                                      L"RegSetValue(\"Start\":1, Type:4) = 0x0\n",
                                      L"RegQueryValue(\"ErrorControl\":0, Type:0) = 0x2\n",
                                      L"RegSetValue(\"ErrorControl\":1, Type:4) = 0x0\n"}))
        << RecordedText();
    key.Remove();
    qvtest::ClearRecordedLog();
    Orvane::RepairServiceType(name, &RecordLog); // no such service: kernel driver
    EXPECT_EQ(RecordedLines(), (Lines{keyLine, L"RegQueryValue(\"Type\":0, Type:0) = 0x2\n",
                                      L"RegSetValue(\"Type\":1, Type:4) = 0x0\n"}))
        << RecordedText();

    // Sound values, a disabled start and a user-mode type included: no line, no write.
    key.SetSound(name + L".sys");
    key.SetDword(L"Start", SERVICE_DISABLED);
    key.SetDword(L"Type", SERVICE_WIN32_OWN_PROCESS);
    qvtest::ClearRecordedLog();
    Orvane::RepairServiceStartValues(name, &RecordLog);
    Orvane::RepairServiceType(name, &RecordLog);
    Orvane::RepairServiceStartValues(L"", &RecordLog);
    Orvane::RepairServiceType(L"", &RecordLog);
    EXPECT_TRUE(RecordedLines().empty()) << RecordedText();
    EXPECT_TRUE(key.Read(L"Start", type, data));
    EXPECT_EQ(data, static_cast<DWORD>(SERVICE_DISABLED));
    EXPECT_TRUE(key.Read(L"Type", type, data));
    EXPECT_EQ(data, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS)) << "the type is not examined";
    key.SetDword(L"Type", SERVICE_KERNEL_DRIVER);

    // ErrorControl above 3 fails the check and is set to 1.
    key.SetDword(L"ErrorControl", 4);
    EXPECT_FALSE(Verify(package));
    qvtest::ClearRecordedLog();
    Orvane::RepairServiceStartValues(name, &RecordLog);
    EXPECT_EQ(RecordedLines(), (Lines{L"RegQueryValue(\"ErrorControl\":4, Type:4) = 0x0\n",
                                      L"RegSetValue(\"ErrorControl\":1, Type:4) = 0x0\n"}))
        << RecordedText();
    EXPECT_TRUE(key.Read(L"ErrorControl", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, 1u);
    EXPECT_TRUE(Verify(package));

    // A "Type" stored as text: replaced with the manager's answer, 1 when
    // there is no such service, else the type the manager reports.
    key.SetText(L"Type", REG_SZ, L"1");
    EXPECT_FALSE(Verify(package));
    EXPECT_EQ(RecordedLines(), Lines{L"RegQueryValue(\"Type\":0x31, Type:1) = 0x0\n"});
    qvtest::ClearRecordedLog();
    Orvane::RepairServiceType(name, &RecordLog);
    EXPECT_EQ(RecordedLines(), (Lines{L"RegQueryValue(\"Type\":49, Type:1) = 0x0\n",
                                      L"RegSetValue(\"Type\":1, Type:4) = 0x0\n"}))
        << RecordedText();
    EXPECT_TRUE(key.Read(L"Type", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, 1u);
    EXPECT_TRUE(Verify(package));

    key.SetText(L"Type", REG_SZ, L"1");
    {
        FakeServiceManager scm;
        scm.ServiceType = SERVICE_FILE_SYSTEM_DRIVER;
        qvtest::ClearRecordedLog();
        Orvane::RepairServiceType(name, &RecordLog);
        EXPECT_EQ(RecordedLines(), (Lines{L"RegQueryValue(\"Type\":49, Type:1) = 0x0\n",
                                          L"RegSetValue(\"Type\":2, Type:4) = 0x0\n"}))
            << RecordedText();
        EXPECT_EQ(scm.ManagerAccess, std::vector<DWORD>{SC_MANAGER_CONNECT});
        EXPECT_EQ(scm.Databases, std::vector<std::wstring>{L"ServicesActive"});
        EXPECT_EQ(scm.ServiceAccess, std::vector<DWORD>{SERVICE_QUERY_STATUS});
        EXPECT_EQ(scm.QueryCalls, 1);
        EXPECT_EQ(scm.OpenHandles(), 0u);
    }
    EXPECT_TRUE(key.Read(L"Type", type, data));
    EXPECT_EQ(data, static_cast<DWORD>(SERVICE_FILE_SYSTEM_DRIVER));
    EXPECT_TRUE(Verify(package)) << "a file-system driver passes the check";

    // Without a log the repairs write the same, silently.
    key.SetDword(L"ErrorControl", 9);
    key.SetText(L"Type", REG_SZ, L"1");
    qvtest::ClearRecordedLog();
    Orvane::RepairServiceStartValues(name, nullptr);
    Orvane::RepairServiceType(name, nullptr);
    EXPECT_TRUE(key.Read(L"ErrorControl", type, data));
    EXPECT_EQ(data, 1u);
    EXPECT_TRUE(key.Read(L"Type", type, data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(RecordedLines().empty());
}

} // namespace
