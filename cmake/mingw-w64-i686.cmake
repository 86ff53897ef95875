# Cross-compiling for 32-bit Windows (i686) with mingw-w64: the installer as the
# product's users get it, for 32- and 64-bit Windows alike.
#
#   cmake --preset windows32
#
# Only liblzma is needed from build/deps/mingw32 (scripts/setup.sh builds it): the
# tests of the Windows code run in the 64-bit build, see the README.
set(ZUM_MINGW_TRIPLE i686-w64-mingw32)
set(ZUM_MINGW_DEPS mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
