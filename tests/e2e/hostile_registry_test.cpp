// Service key values of wrong types and sizes, written after an install of
// the test package (not started): -shouldupdate answers 1 with the line of
// the first bad value and "registry entries are damaged"; -install repairs
// Type, Start and ErrorControl, applies the package again and succeeds.
// Nothing is read past a value's buffer: every logged text is whole and
// exactly as long as the data.
#include "hostile_support.h"

#include "common/strconv.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using hostile::U8;

/// One damaged value: what is written, the line -shouldupdate prints for
/// it, and the repair lines -install prints before and after its stop.
struct Damage {
    const char* what;
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
    std::string checkLine;
    std::vector<std::string> typeRepair;  // before the stop
    std::vector<std::string> startRepair; // after the probe
};

std::vector<BYTE> Bytes(const void* data, size_t size)
{
    const BYTE* bytes = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(bytes, bytes + size);
}

std::vector<BYTE> Dword(DWORD value) { return Bytes(&value, sizeof(value)); }

std::vector<BYTE> Qword(unsigned long long value) { return Bytes(&value, sizeof(value)); }

std::vector<BYTE> Text(const std::wstring& text, size_t units)
{
    return Bytes(text.c_str(), units * sizeof(wchar_t));
}

class HostileRegistry : public e2e::DriverTest {
protected:
    ~HostileRegistry() override { hostile::RemovePackageKey(); }

    std::string Inf() const { return U8(PackageFolder(L"testpkg") / L"QvOstrel.inf"); }

    std::string DriverPathLine() const
    {
        return "Driver path: \"" + qv::WideToUtf8(DriverDirectory(L"testpkg")) + "\"\n";
    }

    /// The whole output of an -install (service-start=0) over an installed,
    /// stopped driver, with these repair lines.
    std::string ReinstallOutput(const std::vector<std::string>& typeRepair,
                                const std::vector<std::string>& startRepair) const
    {
        const std::string image = U8(InstalledImage());
        const std::string folder = U8(PackageFolder(L"testpkg"));
        std::string text = DriverPathLine() + "Existing QvOstrel:\n  " + image + " [1.0.0.1]\n" +
                           "Install QvOstrel:\n  " + Inf() + " [1.0.0.1]\n  " + folder +
                           "\\QvOstrel.sys [1.0.0.1]\n  " + folder + "\\QvOstrel.cat\n";
        for (const std::string& line : typeRepair)
            text += line + "\n";
        text += "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x426 (already stopped)\n";
        text += "Probe(\"" + image + "\") = 0x0\n";
        for (const std::string& line : startRepair)
            text += line + "\n";
        text += e2e::SetupLibraryLines(Inf(), "Install.NTamd64") + "QueryServiceStatus(\"QvOstrel\") = \"stopped\"\n" + "ExitCode: 0x0 \"OK\"\n";
        return text;
    }

    /// The four values are sound after an install: the DWORDs the INF
    /// gives, and an ImagePath of a text type.
    void ExpectSoundValues(const char* what)
    {
        DWORD type = 0;
        std::vector<BYTE> data;
        const std::pair<const wchar_t*, DWORD> dwords[] = {{L"Type", 1}, {L"Start", 3}, {L"ErrorControl", 1}};
        for (const auto& [name, expected] : dwords) {
            ASSERT_TRUE(hostile::GetServiceValue(name, type, data)) << what;
            EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << what << " " << U8(name);
            ASSERT_EQ(data.size(), sizeof(DWORD)) << what << " " << U8(name);
            DWORD value = 0;
            std::memcpy(&value, data.data(), sizeof(value));
            EXPECT_EQ(value, expected) << what << " " << U8(name);
        }
        ASSERT_TRUE(hostile::GetServiceValue(L"ImagePath", type, data)) << what;
        EXPECT_TRUE(type == REG_SZ || type == REG_EXPAND_SZ) << what << " " << type;
    }

    /// Installs once, then for each damage: writes it, asks -shouldupdate,
    /// installs again and checks the values.
    void Run(const std::vector<Damage>& damages)
    {
        const qvtest::RunResult first = Tool({L"-install", DriversPath(L"testpkg"), L"service-start=0"});
        ASSERT_EQ(first.exitCode, 0u) << first.output;
        for (const Damage& damage : damages) {
            // Written from a buffer whose unit after the data is not zero, so
            // that the registry takes the data exactly as given.
            std::vector<BYTE> buffer = damage.data;
            buffer.push_back('#');
            buffer.push_back(0);
            ASSERT_EQ(hostile::SetServiceValue(damage.name, damage.type, buffer.data(),
                                               static_cast<DWORD>(damage.data.size())),
                      ERROR_SUCCESS)
                << damage.what;
            DWORD storedType = 0;
            std::vector<BYTE> stored;
            ASSERT_TRUE(hostile::GetServiceValue(damage.name, storedType, stored)) << damage.what;
            ASSERT_EQ(stored, damage.data) << damage.what << ": the registry changed the value as written";

            const qvtest::RunResult check = Tool({L"-shouldupdate", DriversPath(L"testpkg")});
            EXPECT_EQ(check.exitCode, 1u) << damage.what;
            EXPECT_EQ(check.output, Crlf(DriverPathLine() + damage.checkLine + "\n" +
                                         "QvOstrel registry entries are damaged\nExitCode: 1 (true)\n"))
                << damage.what;

            const qvtest::RunResult install = Tool({L"-install", DriversPath(L"testpkg"), L"service-start=0"});
            EXPECT_EQ(install.exitCode, 0u) << damage.what;
            EXPECT_EQ(install.output, Crlf(ReinstallOutput(damage.typeRepair, damage.startRepair))) << damage.what;
            ExpectSoundValues(damage.what);
            EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED)) << damage.what;
        }
    }
};

// A value larger than the four bytes asked for answers ERROR_MORE_DATA
// (0xea); Wine then leaves the buffer as it was (0), which the line shows.
TEST_F(HostileRegistry, TypeOfEveryWrongTypeAndSizeIsReportedThenRepaired)
{
    const std::string repaired = "RegSetValue(\"Type\":1, Type:4) = 0x0";
    Run({
        {"Type as REG_SZ \"1\"", L"Type", REG_SZ, Text(L"1", 2), "RegQueryValue(\"Type\":0x31, Type:1) = 0x0",
         {"RegQueryValue(\"Type\":49, Type:1) = 0x0", repaired}, {}},
        {"Type as REG_SZ \"12\"", L"Type", REG_SZ, Text(L"12", 3), "RegQueryValue(\"Type\":0x0, Type:1) = 0xea",
         {"RegQueryValue(\"Type\":0, Type:1) = 0xea", repaired}, {}},
        {"Type as REG_BINARY of 1 byte", L"Type", REG_BINARY, {1}, "RegQueryValue(\"Type\":0x1, Type:3) = 0x0",
         {"RegQueryValue(\"Type\":1, Type:3) = 0x0", repaired}, {}},
        {"Type as REG_QWORD", L"Type", REG_QWORD, Qword(1), "RegQueryValue(\"Type\":0x0, Type:11) = 0xea",
         {"RegQueryValue(\"Type\":0, Type:11) = 0xea", repaired}, {}},
        {"Type as REG_DWORD of 8 bytes", L"Type", REG_DWORD, Qword(1), "RegQueryValue(\"Type\":0x0, Type:4) = 0xea",
         {"RegQueryValue(\"Type\":0, Type:4) = 0xea", repaired}, {}},
        // A DWORD without a driver type bit: reported; the package's
        // service directive writes the type again.
        {"Type 0x10", L"Type", REG_DWORD, Dword(0x10), "RegQueryValue(\"Type\":0x10, Type:4) = 0x0", {}, {}},
    });
}

TEST_F(HostileRegistry, StartAndErrorControlOfWrongTypesAndSizesAreReportedThenRepaired)
{
    Run({
        {"Start as REG_SZ \"3\"", L"Start", REG_SZ, Text(L"3", 2), "RegQueryValue(\"Start\":51, Type:1) = 0x0", {},
         {"RegQueryValue(\"Start\":51, Type:1) = 0x0", "RegSetValue(\"Start\":1, Type:4) = 0x0"}},
        {"Start as REG_BINARY of 2 bytes", L"Start", REG_BINARY, {3, 0}, "RegQueryValue(\"Start\":3, Type:3) = 0x0", {},
         {"RegQueryValue(\"Start\":3, Type:3) = 0x0", "RegSetValue(\"Start\":1, Type:4) = 0x0"}},
        {"ErrorControl of 8 bytes", L"ErrorControl", REG_DWORD, Qword(1),
         "RegQueryValue(\"ErrorControl\":0, Type:4) = 0xea", {},
         {"RegQueryValue(\"ErrorControl\":0, Type:4) = 0xea", "RegSetValue(\"ErrorControl\":1, Type:4) = 0x0"}},
        {"ErrorControl 5", L"ErrorControl", REG_DWORD, Dword(5), "RegQueryValue(\"ErrorControl\":5, Type:4) = 0x0", {},
         {"RegQueryValue(\"ErrorControl\":5, Type:4) = 0x0", "RegSetValue(\"ErrorControl\":1, Type:4) = 0x0"}},
    });
}

// ImagePath is read into a buffer of 260 units with one more kept for a
// terminator: a value of exactly 520 bytes without one is compared as its
// 260 units (the line shows exactly those), a longer one answers
// ERROR_MORE_DATA and is shown empty. The tool does not rewrite ImagePath
// itself; the package's service directive does.
TEST_F(HostileRegistry, ImagePathOfWrongTypesAndSizesIsReportedAndNothingIsReadPastIt)
{
    const std::string expected = ", Expected:\"system32\\DRIVERS\\QvOstrel.sys\")";
    // 260 units of text, the last one marked.
    const std::wstring filled = std::wstring(259, L'A') + L"Z";
    const std::wstring windowsForm = L"system32\\DRIVERS\\QvOstrel.sys";
    std::vector<BYTE> multi = Text(windowsForm, windowsForm.size() + 1);
    multi.push_back(0);
    multi.push_back(0);
    Run({
        {"ImagePath as REG_DWORD", L"ImagePath", REG_DWORD, Dword(0x31),
         "RegQueryValue(\"ImagePath\":\"1\", Type:4" + expected + " = 0x0", {}, {}},
        {"ImagePath as REG_MULTI_SZ", L"ImagePath", REG_MULTI_SZ, multi,
         "RegQueryValue(\"ImagePath\":\"system32\\DRIVERS\\QvOstrel.sys\", Type:7" + expected + " = 0x0", {}, {}},
        {"ImagePath of 520 bytes without a terminator", L"ImagePath", REG_SZ, Text(filled, 260),
         "RegQueryValue(\"ImagePath\":\"" + std::string(259, 'A') + "Z\", Type:1" + expected + " = 0x0", {}, {}},
        {"ImagePath of 522 bytes", L"ImagePath", REG_SZ, Text(std::wstring(261, L'B'), 261),
         "RegQueryValue(\"ImagePath\":\"\", Type:1" + expected + " = 0xea", {}, {}},
        {"ImagePath of 0 bytes", L"ImagePath", REG_SZ, {}, "RegQueryValue(\"ImagePath\":\"\", Type:1" + expected + " = 0x0",
         {}, {}},
    });
}

} // namespace
