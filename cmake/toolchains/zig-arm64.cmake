# ARM64 Windows (Windows 10 and later), linked with Zig 0.11.0: clang, lld,
# libc++ and the mingw-w64 runtime for aarch64.
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(QV_ZIG_TARGET aarch64-windows-gnu)
set(QV_ZIG_RC_TARGET aarch64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake)
