# Cross-build for 32-bit Windows with mingw-w64 (i686, posix thread model),
# the architecture the deliverables ship for.
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw32.cmake
#
# Static libraries: KQ_MINGW_PREFIX (default /opt/kq-mingw-i686); Wine
# prefix for the tests: KQ_WINEPREFIX (default ~/.cache/kq-wine32). See
# toolchain-mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KQ_MINGW_TRIPLE i686-w64-mingw32)
set(KQ_WINEARCH win32)
set(KQ_MINGW_PREFIX_VAR KQ_MINGW_PREFIX)
set(KQ_MINGW_PREFIX_DEFAULT /opt/kq-mingw-i686)
set(KQ_WINEPREFIX_VAR KQ_WINEPREFIX)
set(KQ_WINEPREFIX_NAME kq-wine32)
# GCC keeps i686 float intermediates in 80-bit x87 registers, so values the
# code rounds to float (the resampler's steps and positions) would differ
# from every other build. SSE2 arithmetic rounds each operation to its type.
set(KQ_MINGW_ARCH_FLAGS -msse2 -mfpmath=sse)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
