# Cross-build for 64-bit Windows with mingw-w64 (x86_64, posix thread
# model): the same tree as the i686 deliverables, for hosts that cannot run
# 32-bit programs under Wine and to keep the code sound under LLP64.
#
#   cmake -S . -B build/windows-x86_64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-mingw32.cmake
#
# Static libraries: KQ_MINGW64_PREFIX (default /opt/kq-mingw-x86_64); Wine
# prefix for the tests: KQ_WINE64PREFIX (default ~/.cache/kq-wine64). See
# toolchain-mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQ_MINGW_TRIPLE x86_64-w64-mingw32)
set(KQ_WINEARCH win64)
set(KQ_MINGW_PREFIX_VAR KQ_MINGW64_PREFIX)
set(KQ_MINGW_PREFIX_DEFAULT /opt/kq-mingw-x86_64)
set(KQ_WINEPREFIX_VAR KQ_WINE64PREFIX)
set(KQ_WINEPREFIX_NAME kq-wine64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
