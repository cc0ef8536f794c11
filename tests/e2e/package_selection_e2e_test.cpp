// Package selection under the Windows versions Wine reports to the tool.
#include "e2e_support.h"

#include "support/scoped_registry.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

namespace fs = std::filesystem;
using e2e::Crlf;

const wchar_t* const kAllFolders[] = {L"Win7-x64", L"Win8-x64", L"Win10-x64", L"Win10-Legacy-x64"};

struct Release {
    const wchar_t* wineVersion;
    const wchar_t* build;
    DWORD revision;
    const wchar_t* folder;
};

class PackageSelection : public ::testing::TestWithParam<Release> {};

TEST_P(PackageSelection, FindsItsOwnFolderAndNoOther)
{
    const Release& release = GetParam();
    qvtest::ScopedWineVersion version(L"QvOstrelSetup.exe", release.wineVersion);
    qvtest::ScopedWindowsBuild build(release.build, release.revision);
    qvtest::ScratchFolder scratch;
    const fs::path only = scratch / L"only";
    const fs::path others = scratch / L"others";
    e2e::CopyPackage(L"testpkg", release.folder, only);
    for (const wchar_t* folder : kAllFolders) {
        if (std::wstring(folder) != release.folder)
            e2e::CopyPackage(L"testpkg", folder, others);
    }

    const qvtest::RunResult found = qvtest::RunProgram(qvtest::ToolPath(), {L"drivers-path=" + only.wstring()});
    EXPECT_EQ(found.exitCode, 160u);
    EXPECT_EQ(found.output.rfind(Crlf(e2e::DriverPathLine(only.wstring() + L"\\")), 0), 0u) << found.output;

    const qvtest::RunResult missing = qvtest::RunProgram(qvtest::ToolPath(), {L"drivers-path=" + others.wstring()});
    EXPECT_EQ(missing.exitCode, 3u);
    EXPECT_EQ(missing.output, Crlf("ERROR: Invalid driver directory\n"));
}

INSTANTIATE_TEST_SUITE_P(
    WineVersions, PackageSelection,
    ::testing::Values(Release{L"win7", L"7601", 0, L"Win7-x64"}, Release{L"win8", L"9200", 0, L"Win8-x64"},
                      Release{L"win81", L"9600", 0, L"Win8-x64"}, Release{L"win10", L"19045", 0, L"Win10-x64"},
                      Release{L"win10", L"17134", 319, L"Win10-Legacy-x64"},
                      Release{L"win10", L"17134", 320, L"Win10-x64"}),
    [](const ::testing::TestParamInfo<Release>& info) {
        std::string name;
        for (const wchar_t* p = info.param.wineVersion; *p; ++p)
            name += static_cast<char>(*p);
        name += "_";
        for (const wchar_t* p = info.param.folder; *p; ++p)
            name += std::isalnum(*p) ? static_cast<char>(*p) : '_';
        return name + "_" + std::to_string(info.param.revision);
    });

} // namespace
