# Cross-compiles the same program as a 64-bit Windows console program, for
# the Wine tests on machines that cannot run 32-bit code, with Debian's
# g++-mingw-w64-x86-64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZMODEM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
