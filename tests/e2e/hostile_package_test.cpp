// Damaged driver directories and packages: a file named as the directory,
// an INF that is empty, garbage or lacks the install section, a driver
// image that is not a PE image, and DriverVer lines of malformed shapes.
// Each run ends with a defined code and its lines, and leaves no service
// and no image behind unless it installed them.
#include "hostile_support.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;
using e2e::Lines;
using hostile::U8;

class HostilePackage : public e2e::DriverTest {
protected:
    ~HostilePackage() override { hostile::RemovePackageKey(); }

    /// The lines of a run over `copy` up to the setup library: the driver
    /// path, the package block with these versions, the stop and the probe
    /// of a machine without the driver.
    static std::string Opening(const hostile::PackageCopy& copy, const std::string& verb,
                               const std::string& infVersion, const std::string& sys,
                               const std::string& sysVersion)
    {
        return copy.driverPathLine() + "\n" + verb + " QvOstrel:\n  " + U8(copy.inf()) + " [" + infVersion +
               "]\n  " + sys + " [" + sysVersion + "]\n  " + U8(copy.cat()) + "\n" +
               "OpenService(\"QvOstrel\", SERVICE_STOP) = 0x424 (not installed)\n" + "Probe(\"" +
               U8(InstalledImage()) + "\") = 0x2\n";
    }

    static std::string OpenInf(const hostile::PackageCopy& copy, const char* code)
    {
        return "SetupOpenInfFile(\"" + U8(copy.inf()) + "\") = " + code + "\n";
    }

    static std::string Ending(const char* state, const std::string& exitLine)
    {
        return std::string("QueryServiceStatus(\"QvOstrel\") = \"") + state + "\"\n" + exitLine + "\n";
    }

    void ExpectNothingInstalled()
    {
        EXPECT_EQ(ServiceState(), 0u);
        EXPECT_FALSE(fs::exists(InstalledImage()));
    }
};

TEST_F(HostilePackage, DriversPathNamingAFileEndsWithInvalidDriverDirectory)
{
    const fs::path inf = e2e::Package(L"testpkg", L"Win10-x64") / L"QvOstrel.inf";
    // An absolute path to a file, and a relative one that names the tool
    // itself in the program's folder (it exists, so it is not ignored).
    for (const std::wstring& value : {inf.wstring(), std::wstring(L"QvOstrelSetup.exe")}) {
        for (const wchar_t* command : {L"-install", L"-uninstall", L"-check", L"-shouldupdate", L""}) {
            std::vector<std::wstring> args = {L"drivers-path=" + value};
            if (*command)
                args.insert(args.begin(), command);
            const qvtest::RunResult run = Tool(args);
            EXPECT_EQ(run.exitCode, 3u) << U8(value) << " " << U8(command);
            EXPECT_EQ(run.output, Crlf("ERROR: Invalid driver directory\n")) << U8(value) << " " << U8(command);
        }
    }
    ExpectNothingInstalled();
}

TEST_F(HostilePackage, EmptyInfFailsToOpenWithFileInvalid)
{
    hostile::PackageCopy copy;
    qvtest::WriteFileBytes(copy.inf(), "");
    const std::string sys = U8(copy.sys());
    const std::string image = U8(InstalledImage());

    const qvtest::RunResult install = Tool({L"-install", copy.option()});
    EXPECT_EQ(install.exitCode, 1006u);
    EXPECT_EQ(install.output, Crlf(Opening(copy, "Install", "n/a", sys, "1.0.0.1") + OpenInf(copy, "0x3ee") +
                                   Ending("not installed", "ExitCode: 0x3ee \"File invalid\"")));
    ExpectNothingInstalled();

    const qvtest::RunResult uninstall = Tool({L"-uninstall", copy.option()});
    EXPECT_EQ(uninstall.exitCode, 1006u);
    EXPECT_EQ(uninstall.output, Crlf(Opening(copy, "Uninstall", "n/a", image, "n/a") + OpenInf(copy, "0x3ee") +
                                     Ending("not installed", "ExitCode: 0x3ee \"File invalid\"")));
    ExpectNothingInstalled();
}

TEST_F(HostilePackage, GarbageInfFailsToOpenWithTheSyntaxCodeOfTheSetupLibrary)
{
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919 + 13) & 0xFF);
    struct Case {
        const char* name;
        std::string bytes;
        DWORD code;
        const char* hex;
    };
    const std::vector<Case> cases = {
        {"garbage bytes", garbage, 0xE0000000, "0xe0000000"},       // ERROR_EXPECTED_SECTION_NAME
        {"zero bytes", std::string(100, '\0'), 0xE0000000, "0xe0000000"},
        {"cut UTF-16", std::string("\xFF\xFE[\0V\0", 6), 0xE0000001, "0xe0000001"}, // ERROR_BAD_SECTION_NAME_LINE
    };
    for (const Case& c : cases) {
        hostile::PackageCopy copy;
        qvtest::WriteFileBytes(copy.inf(), c.bytes);
        const qvtest::RunResult install = Tool({L"-install", copy.option()});
        EXPECT_EQ(install.exitCode, c.code) << c.name;
        EXPECT_EQ(install.output,
                  Crlf(Opening(copy, "Install", "n/a", U8(copy.sys()), "1.0.0.1") + OpenInf(copy, c.hex) +
                       Ending("not installed", std::string("ExitCode: ") + c.hex + " \"\"")))
            << c.name;
        ExpectNothingInstalled();
    }
}

// Wine's setup library queues no files for a section that is missing and
// reports the missing section at the service directives; Windows may
// report it one call earlier. Either way the code is ERROR_SECTION_NOT_FOUND,
// and the install stops before anything is copied or created.
TEST_F(HostilePackage, InfWithoutTheInstallSectionFailsWithSectionNotFound)
{
    const std::string full = hostile::PackageFileText(L"QvOstrel.inf");
    const auto without = [&full](const std::string& from, const std::string& to) {
        std::string text = full;
        const size_t start = text.find(from);
        text.erase(start, text.find(to) - start);
        return text;
    };
    for (const std::string& text : {without("[Install.NTamd64]", "[Install.NTx86]"),
                                     without("[Install.NTamd64.Services]", "[Install.NTx86]")}) {
        hostile::PackageCopy copy;
        qvtest::WriteFileBytes(copy.inf(), text);
        const std::string inf = U8(copy.inf());
        const qvtest::RunResult install = Tool({L"-install", copy.option()});
        EXPECT_EQ(install.exitCode, 0xE0000101u);
        EXPECT_EQ(install.output,
                  Crlf(Opening(copy, "Install", "1.0.0.1", U8(copy.sys()), "1.0.0.1") + OpenInf(copy, "0x0") +
                       "SetupOpenFileQueue() = 0x0\n" + "SetupInstallFilesFromInfSection(\"" + inf +
                       "\", \"Install.NTamd64\") = 0x0\n" + "SetupInstallServicesFromInfSection(\"" + inf +
                       "\", \"Install.NTamd64.Services\") = 0xe0000101\n" +
                       Ending("not installed", "ExitCode: 0xe0000101 \"\"")));
        ExpectNothingInstalled();
    }
}

// The image is copied and the service created, but the system cannot load
// the driver: the start fails (1114 under Wine; Windows answers with its own
// code for a bad image) and that code is the exit code. The uninstall then
// removes the service and the image.
TEST_F(HostilePackage, ImageThatIsNotAPeFileFailsToStartAndUninstallCleansUp)
{
    for (const std::string& bytes : {std::string("this is not a PE image"), std::string("MZ") + std::string(200, '\0'),
                                     std::string()}) {
        hostile::PackageCopy copy;
        qvtest::WriteFileBytes(copy.sys(), bytes);
        const std::string inf = U8(copy.inf());
        const std::string image = U8(InstalledImage());
        const qvtest::RunResult install = Tool({L"-install", copy.option()});
        EXPECT_EQ(install.exitCode, 1114u) << bytes.size();
        EXPECT_EQ(install.output,
                  Crlf(Opening(copy, "Install", "1.0.0.1", U8(copy.sys()), "n/a") + e2e::SetupLibraryLines(inf, "Install.NTamd64") +
                       "StartService(\"QvOstrel\") = 0x45a\n" +
                       Ending("stopped", "ExitCode: 0x45a \"DLL initialization failed\"")));
        EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(qvtest::ReadFileBytes(InstalledImage()), bytes);

        const qvtest::RunResult uninstall = Tool({L"-uninstall", copy.option()});
        EXPECT_EQ(uninstall.exitCode, 0u);
        EXPECT_EQ(uninstall.output,
                  Crlf(copy.driverPathLine() + "\nUninstall QvOstrel:\n  " + inf + " [1.0.0.1]\n  " + image +
                       " [n/a]\n  " + U8(copy.cat()) + "\n" +
                       "ControlService(\"QvOstrel\", SERVICE_CONTROL_STOP) = 0x426 (already stopped)\n" +
                       "Probe(\"" + image + "\") = 0x0\n" + e2e::SetupLibraryLines(inf, "Uninstall.NTamd64") +
                       Ending("not installed", "ExitCode: 0x0 \"OK\"")));
        ExpectNothingInstalled();
    }
}

// The INF version on the package line, for DriverVer values of every
// malformed shape: "n/a" where no version can be taken, otherwise what the
// walk from the end (".d", ".c", ".b", then ",a", each number up to its
// first non-digit, cut to 16 bits) takes. The uninstall of a driver that is
// not installed shows it without changing anything.
TEST_F(HostilePackage, MalformedDriverVerShowsNaOrTheParsedValue)
{
    const std::vector<std::pair<std::string, std::string>> shapes = {
        {"", "n/a"}, // no DriverVer line: the default 0.0.0.0
        {"DriverVer =", "n/a"},
        {"DriverVer = 1.2.3.4", "n/a"}, // no date, no comma
        {"DriverVer = 01/15/2024", "n/a"},
        {"DriverVer = 01/15/2024,", "n/a"},
        {"DriverVer = 01/15/2024,1.2.3", "n/a"},
        {"DriverVer = ,1.2.3.4", "n/a"}, // the comma at the start is never found
        {"DriverVer = 01/15/2024,a.b.c.d", "n/a"},
        {"DriverVer = 01/15/2024,-1.-2.-3.-4", "n/a"},
        {"DriverVer = 01/15/2024 , 1 . 2 . 3 . 4", "n/a"},
        {"DriverVer = 01/15/2024,....", "n/a"},
        {"DriverVer = ,,,,", "n/a"},
        {"DriverVer = .,.,.,", "n/a"},
        {"DriverVer = " + std::string(200, '1') + "/01/2024,1.2.3.4", "n/a"}, // cut at 127 characters
        {"DriverVer = 01/15/2024," + std::string(200, '1') + ".2.3.4", "n/a"},
        {"DriverVer = \"01/15/2024,1.2.3.4\"", "1.2.3.4"},
        {"DriverVer = 01/15/2024,1.2.3.4 ; comment", "1.2.3.4"},
        {"DriverVer = 01/15/2024,1.2.3.4,5.6.7.8", "5.6.7.8"},
        {"DriverVer = 01/15/2024,70000.65536.65537.99999999999999999999999", "4464.0.1.65535"},
        // Five parts: the last three, and the number that starts the part
        // after the comma.
        {"DriverVer = 01/15/2024,1.2.3.4.5", "1.3.4.5"},
    };
    for (const auto& [line, version] : shapes) {
        hostile::PackageCopy copy;
        qvtest::WriteFileBytes(copy.inf(), hostile::InfWithDriverVer(line));
        const qvtest::RunResult run = Tool({L"-uninstall", copy.option()});
        EXPECT_EQ(run.exitCode, 0u) << line;
        const std::vector<std::string> lines = Lines(run.output);
        ASSERT_GE(lines.size(), 3u) << line;
        EXPECT_EQ(lines[2], "  " + U8(copy.inf()) + " [" + version + "]") << line;
        EXPECT_EQ(lines.back(), "ExitCode: 0x0 \"OK\"") << line;
    }
    ExpectNothingInstalled();
}

} // namespace
