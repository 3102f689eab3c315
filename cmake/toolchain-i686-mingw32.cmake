# Cross-build for 32-bit Windows with mingw-w64 (i686, posix thread model).
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-mingw32.cmake
#
# The static third-party libraries are looked up in KQ_MINGW_PREFIX (as
# scripts/windows-deps.sh builds it; default /opt/kq-mingw-i686, or the
# environment variable of the same name). Test programs run under Wine
# through scripts/wine-run.sh, in the Wine prefix KQ_WINEPREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KQ_MINGW_TRIPLE i686-w64-mingw32)

if(NOT KQ_MINGW_PREFIX)
    if(DEFINED ENV{KQ_MINGW_PREFIX} AND NOT "$ENV{KQ_MINGW_PREFIX}" STREQUAL "")
        set(KQ_MINGW_PREFIX "$ENV{KQ_MINGW_PREFIX}")
    else()
        set(KQ_MINGW_PREFIX "/opt/kq-mingw-i686")
    endif()
endif()
set(KQ_MINGW_PREFIX "${KQ_MINGW_PREFIX}" CACHE PATH "Prefix of the cross-built static libraries")

if(NOT KQ_WINEPREFIX)
    if(DEFINED ENV{KQ_WINEPREFIX} AND NOT "$ENV{KQ_WINEPREFIX}" STREQUAL "")
        set(KQ_WINEPREFIX "$ENV{KQ_WINEPREFIX}")
    elseif(DEFINED ENV{HOME})
        set(KQ_WINEPREFIX "$ENV{HOME}/.cache/kq-wine32")
    else()
        set(KQ_WINEPREFIX "/tmp/kq-wine32")
    endif()
endif()
set(KQ_WINEPREFIX "${KQ_WINEPREFIX}" CACHE PATH "Win32 Wine prefix the tests run in")

# The -win32 thread variant lacks std::thread and std::mutex: name -posix.
set(CMAKE_C_COMPILER   ${KQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KQ_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${KQ_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${KQ_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
# .rc sources compile with windres (CMake enables RC for Windows targets).
# IDL compiler for type libraries (mingw-w64-tools). No system .idl files
# come with it (no oaidl.idl): an IDL declares the base interfaces it names,
# and importlib("stdole2.tlb") is found with -L in wine32's i386-windows.
find_program(KQ_WIDL ${KQ_MINGW_TRIPLE}-widl)
find_program(KQ_OBJDUMP ${KQ_MINGW_TRIPLE}-objdump)

# Everything from the C and C++ runtimes is linked in, so that a binary
# imports only DLLs that ship with Windows (a COM server that needs
# libstdc++-6.dll next to it fails to register).
set(KQ_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${KQ_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KQ_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KQ_STATIC_RUNTIME}")

set(CMAKE_FIND_ROOT_PATH "/usr/${KQ_MINGW_TRIPLE}" "${KQ_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# try_compile projects re-read this file without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KQ_MINGW_PREFIX KQ_WINEPREFIX)

get_filename_component(_kq_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_kq_source_root}/scripts/wine-run.sh;--wineprefix=${KQ_WINEPREFIX}")
