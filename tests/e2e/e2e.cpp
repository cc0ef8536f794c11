#include "e2e/e2e.h"

#include "common/strconv.h"

#include <algorithm>

namespace e2e {

namespace {

std::string SetupLines(const std::string& inf, const std::string& section)
{
    return "SetupOpenInfFile(\"" + inf + "\") = 0x0\nSetupOpenFileQueue() = 0x0\n" +
           "SetupInstallFilesFromInfSection(\"" + inf + "\", \"" + section + "\") = 0x0\n" +
           "SetupInstallServicesFromInfSection(\"" + inf + "\", \"" + section + ".Services\") = 0x0\n" +
           "SetupCommitFileQueue(SetupDefaultQueueCallback) = 0x0\n" + "SetupInstallFromInfSection(\"" +
           section + "\", SPINST_REGISTRY) = 0x0\n";
}

} // namespace

std::string Escaped(const std::string& text) { return std::regex_replace(text, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)"); }

Env::~Env()
{
    for (HANDLE handle : held)
        CloseHandle(handle);
}

std::string Env::Expand(std::string text, bool pattern) const
{
    const auto ReplaceAll = [&](const std::string& token, std::string value) {
        if (pattern)
            value = Escaped(value);
        for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
            text.replace(at, token.size(), value);
    };
    const fs::path package = BuildFolder() / set / NativePackageFolder();
    ReplaceAll("{nt}", NativeInfDecoration());
    for (size_t at; (at = text.find("{setup:")) != std::string::npos;) {
        const size_t end = text.find('}', at);
        text.replace(at, end + 1 - at, SetupLines(U8(package / L"QvOstrel.inf"), text.substr(at + 7, end - at - 7)));
    }
    ReplaceAll("{drivers}", "drivers-path=" + U8(BuildFolder() / set));
    ReplaceAll("{dir}", U8(BuildFolder() / set) + "\\");
    ReplaceAll("{inf}", U8(package / L"QvOstrel.inf"));
    ReplaceAll("{sys}", U8(package / L"QvOstrel.sys"));
    ReplaceAll("{cat}", U8(package / L"QvOstrel.cat"));
    ReplaceAll("{img}", U8(InstalledImage()));
    ReplaceAll("{hl}", U8(tmp / L"hl"));
    ReplaceAll("{tmp}", U8(tmp.path()));
    return text;
}

std::wstring Env::Expand(const std::wstring& text) const
{
    return qv::Utf8ToWide(Expand(qv::WideToUtf8(text)));
}

RunResult Tool(const Env& env, std::vector<std::wstring> args)
{
    for (std::wstring& arg : args)
        arg = env.Expand(arg);
    return Run(env.tool.empty() ? ToolPath() : env.tool, args);
}

void Install(const wchar_t* set, bool start)
{
    const RunResult run = Run(BuildFolder() / L"QvOstrelSetup.exe", {L"-install", L"drivers-path=" + (BuildFolder() / set).wstring(),
                                           start ? L"service-start=1" : L"service-start=0"});
    ASSERT_EQ(run.exitCode, 0u) << run.output;
}

void StartsAServiceItCreated(Env&)
{
    if (ToolRunsUnderWow64())
        GTEST_SKIP() << "under WOW64 Wine cannot start an x64 driver whose service a 32-bit process created (1114)";
}

void Wow64Only(Env&)
{
    if (!ToolRunsUnderWow64())
        GTEST_SKIP() << "a row for the 32-bit tool under WOW64";
}

void WindowsImagePath()
{
    const wchar_t path[] = L"system32\\DRIVERS\\QvOstrel.sys";
    SetServiceValue(L"ImagePath", REG_EXPAND_SZ, path, sizeof(path));
}

void Cases::RunRow()
{
    const Row& row = GetParam();
    Env env;
    env.set = row.set;
    if (row.before)
        row.before(env);
    if (HasFatalFailure() || IsSkipped())
        return;
    env.run = Tool(env, row.args);
    const bool pattern = !row.expected.empty() && row.expected[0] == '~';
    const std::string expected = env.Expand(row.expected, pattern);
    if (pattern) {
        std::string output = env.run.output;
        output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
        EXPECT_TRUE(std::regex_match(output, std::regex(expected.substr(1)))) << output;
    } else if (!expected.empty()) {
        EXPECT_EQ(env.run.output, Crlf(expected));
    }
    EXPECT_EQ(env.run.exitCode, row.exitCode) << env.run.output;
    if (row.after)
        row.after(env);
}

void Cases::TearDown()
{
    RemoveDriver();
    EXPECT_EQ(ServiceState(), 0u) << "a row left the service behind";
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

std::string RowName(const ::testing::TestParamInfo<Row>& info) { return info.param.name; }

} // namespace e2e
