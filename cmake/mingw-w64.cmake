# Cross-compiling for Windows x86-64 with mingw-w64 (and, through
# mingw-w64-i686.cmake, for 32-bit Windows).
#
#   cmake --preset windows            (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
#
# The -posix compilers are used because GoogleTest and std::thread need the
# posix thread model; the programs link it statically, so no DLL travels with
# them. Libraries built for Windows (liblzma, GoogleTest) come from the prefix
# that scripts/setup.sh fills: build/deps/mingw. Tests run under Wine through
# scripts/wine-run.sh, which CTest uses as the emulator.

set(CMAKE_SYSTEM_NAME Windows)
if(NOT ZUM_MINGW_TRIPLE)
  set(ZUM_MINGW_TRIPLE x86_64-w64-mingw32)
  set(ZUM_MINGW_DEPS mingw)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${ZUM_MINGW_TRIPLE}")

set(CMAKE_C_COMPILER ${ZUM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUM_MINGW_TRIPLE}-windres)
# Resource scripts are UTF-8 like every other source; without this windres
# reads them as Windows-1252 and string tables come out garbled.
set(CMAKE_RC_FLAGS_INIT "--codepage=65001")

# The prefix is found relative to this file, so the tree can live anywhere.
get_filename_component(ZUM_MINGW_DEPS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build/deps/${ZUM_MINGW_DEPS}" ABSOLUTE)
get_filename_component(ZUM_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)

set(CMAKE_FIND_ROOT_PATH /usr/${ZUM_MINGW_TRIPLE} "${ZUM_MINGW_DEPS_PREFIX}")
# Host programs (tools run at build time); target headers, libraries and
# package configurations only from the roots above, never from the host's /usr.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test commands (add_test with a target) and try_run() run the .exe under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZUM_WINE_RUN}")
