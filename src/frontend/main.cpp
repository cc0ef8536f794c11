#include "frontend/command_line.h"

int wmain(int argc, wchar_t* argv[])
{
    return static_cast<int>(RunCommandLine(argc, argv));
}
