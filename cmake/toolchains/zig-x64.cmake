# x86_64 Windows linked with Zig 0.11.0: the same code under libc++ instead
# of libstdc++, run end to end under Wine by the packaging check.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QV_ZIG_TARGET x86_64-windows-gnu)
set(QV_ZIG_RC_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
