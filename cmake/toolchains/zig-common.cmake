# Shared part of the Zig tool chains: Zig 0.11.0's clang, lld, libc++ and
# mingw-w64 runtime (installed by tools/bootstrap), Debian's LLVM tools for
# the archive and the resource script. Set QV_ZIG_TARGET before including.
set(CMAKE_SYSTEM_NAME Windows)
set(QV_ZIG_DIR /opt/qvostrel/zig-0.11.0 CACHE PATH "Zig 0.11.0 installed by tools/bootstrap")
if(NOT EXISTS ${QV_ZIG_DIR}/zig)
  message(FATAL_ERROR "No Zig at ${QV_ZIG_DIR}: run tools/bootstrap")
endif()

# Zig's compiler driver is "zig cc" / "zig c++": the first element is the
# program, the rest are arguments it always gets. Zig builds its C and C++
# runtime once per target, optimisation mode, strip setting and LTO setting.
# CMake's compiler identification links a source file directly, which Zig
# would build with LTO; the product's link takes objects, which it builds
# without. -s and -fno-lto here make both use the same runtime, so a new
# machine builds it once, not twice.
set(CMAKE_C_COMPILER ${QV_ZIG_DIR}/zig cc -target ${QV_ZIG_TARGET} -O2 -s -fno-lto)
set(CMAKE_CXX_COMPILER ${QV_ZIG_DIR}/zig c++ -target ${QV_ZIG_TARGET} -O2 -s -fno-lto)
set(CMAKE_AR /usr/bin/llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Resources: llvm-windres (llvm-rc behind GNU windres's interface, with
# Debian's clang as the preprocessor) gives an object for lld.
set(CMAKE_RC_COMPILER /usr/bin/llvm-windres-14)
set(CMAKE_RC_FLAGS_INIT "--target=${QV_ZIG_RC_TARGET} -I /usr/share/mingw-w64/include")

# Zig's start-up code calls main whatever -municode says, so the build adds
# the entry point that fetches the wide arguments and calls wmain.
set(QV_NARROW_ENTRY ON CACHE BOOL "Entry point main() that calls wmain()" FORCE)
# Zig's linker writes the link time into the PE header and takes no option
# against it: the build clears it after the link.
set(QV_CLEAR_PE_TIMESTAMP ON CACHE BOOL "Zero the PE header time stamp after the link" FORCE)
# The test suite only where a preset asks for it (zig-arm64: tools/arm64
# runs it under ARM64 Wine).
set(QV_BUILD_TESTS OFF CACHE BOOL "Build the test suite")
# Zig's driver does not compile headers on their own: no precompiled headers.
set(CMAKE_DISABLE_PRECOMPILE_HEADERS ON)
