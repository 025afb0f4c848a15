# What both MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and ZMODEM_MINGW_PREFIX first. The program is single-threaded, so the
# compiler with the win32 thread model is preferred: its static runtime needs
# no winpthread. The posix variant and the plain alternative are the
# fallbacks.
set(CMAKE_SYSTEM_NAME Windows)

find_program(ZMODEM_MINGW_CXX
  NAMES ${ZMODEM_MINGW_PREFIX}-g++-win32 ${ZMODEM_MINGW_PREFIX}-g++-posix ${ZMODEM_MINGW_PREFIX}-g++
  REQUIRED)
find_program(ZMODEM_MINGW_RC NAMES ${ZMODEM_MINGW_PREFIX}-windres)

set(CMAKE_CXX_COMPILER ${ZMODEM_MINGW_CXX})
if(ZMODEM_MINGW_RC)
  set(CMAKE_RC_COMPILER ${ZMODEM_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${ZMODEM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
