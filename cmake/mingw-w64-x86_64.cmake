# Cross-compiles zorpix.exe and dezorpix.exe for 64-bit Windows with Debian's
# mingw-w64 (apt-get install g++-mingw-w64-x86-64-posix):
#
#   cmake --preset windows && cmake --build --preset windows
#
# The posix-threads flavour of the compiler is the one whose C++ runtime has
# std::thread. Everything is linked statically, so the two .exe files run on
# a bare Windows without any MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZORPIX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZORPIX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORPIX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORPIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORPIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The tests run on the build machine against the .exe files (see .ci/run), so
# the cross build has none of its own.
set(ZORPIX_BUILD_TESTS OFF CACHE BOOL "Build the unit and end-to-end tests")
set(ZORPIX_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks when Google Benchmark is installed")
