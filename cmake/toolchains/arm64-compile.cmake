# ARM64 Windows, compile only: clang with the mingw-w64 headers and the
# mingw libstdc++ headers. There is no ARM64 C runtime on the build machine,
# so nothing is linked; the objects prove the code builds for ARM64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-mingw32)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(_qv_cxx /usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++)
set(CMAKE_C_FLAGS_INIT "-isystem /usr/share/mingw-w64/include")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${_qv_cxx} -isystem ${_qv_cxx}/x86_64-w64-mingw32 -isystem /usr/share/mingw-w64/include")
set(QV_COMPILE_ONLY ON CACHE BOOL "Compile the product to objects only" FORCE)
