# Cross build of the 64-bit Windows program with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Wine for the test runs: the 64-bit loader itself, since Debian's wrapper
# takes the 32-bit one whenever its file is there, even where it cannot run.
set(TESSEL_WINE_LOADER "/usr/lib/wine/wine64" CACHE STRING "Wine loader of the test runs")
set(TESSEL_WINE_SERVER "/usr/lib/wine/wineserver64" CACHE STRING "Wine server of the test runs")
set(TESSEL_WINE_ARCH win64 CACHE STRING "WINEARCH of the test prefix")
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSEL_WINE_LOADER})
