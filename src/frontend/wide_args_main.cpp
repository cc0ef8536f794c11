// Entry point for tool chains whose start-up code always calls main (Zig's
// clang does not honour -municode). The wide arguments come from the C
// runtime's own parse of the command line, the same one that the wide
// start-up code hands to wmain, so both builds see identical argv.
#include <cwchar>

namespace {

/// The runtime's start-up information block; only its first member exists.
struct StartupInfo {
    int newMode;
};

} // namespace

extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                                      StartupInfo* info);

int wmain(int argc, wchar_t* argv[]);

/// Fetches the wide arguments (no wildcard expansion) and runs wmain.
int main()
{
    int argc = 0;
    wchar_t** argv = nullptr;
    wchar_t** env = nullptr;
    StartupInfo info = {0};
    if (__wgetmainargs(&argc, &argv, &env, 0, &info) < 0)
        return 1627; // the runtime could not build the argument list
    return wmain(argc, argv);
}
