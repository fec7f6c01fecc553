# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix). Builds the
# portable part of the project only (ZEL_PORTABLE_ONLY); tools/test-windows.sh runs its tests under
# wine.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZEL_MINGW_TRIPLE i686-w64-mingw32)
# The -posix variant: its runtime has std::mutex and std::thread (GoogleTest needs them).
set(CMAKE_C_COMPILER ${ZEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# i686 defaults to x87 arithmetic, whose extended precision gives other single-precision results
# than x86-64: SSE2 arithmetic matches them.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# Only the portable subset builds for Windows.
set(ZEL_PORTABLE_ONLY ON CACHE BOOL "Build only libzel, the package and the package-level tests")
