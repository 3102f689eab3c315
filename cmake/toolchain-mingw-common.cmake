# The part of the mingw-w64 cross toolchains that both architectures share;
# included by toolchain-i686-mingw32.cmake and toolchain-x86_64-mingw32.cmake
# after they name the triple, the Wine architecture, the environment
# variables of their two prefixes and their code generation flags.
#
# The static third-party libraries are looked up in KQ_MINGW_PREFIX (as
# scripts/windows-deps.sh builds it; default from the architecture's
# environment variable). Test programs run under Wine through
# scripts/lib/wine-run.sh, in the Wine prefix KQ_WINEPREFIX.
set(CMAKE_SYSTEM_NAME Windows)

# A path setting: the cache value, else the environment variable, else the
# default.
macro(kq_mingw_path name envvar default doc)
    if(NOT ${name})
        if(DEFINED ENV{${envvar}} AND NOT "$ENV{${envvar}}" STREQUAL "")
            set(${name} "$ENV{${envvar}}")
        else()
            set(${name} "${default}")
        endif()
    endif()
    set(${name} "${${name}}" CACHE PATH "${doc}")
endmacro()
if(DEFINED ENV{HOME})
    set(_kq_cache "$ENV{HOME}/.cache")
else()
    set(_kq_cache "/tmp")
endif()
kq_mingw_path(KQ_MINGW_PREFIX ${KQ_MINGW_PREFIX_VAR} "${KQ_MINGW_PREFIX_DEFAULT}"
              "Prefix of the cross-built static libraries")
kq_mingw_path(KQ_WINEPREFIX ${KQ_WINEPREFIX_VAR} "${_kq_cache}/${KQ_WINEPREFIX_NAME}"
              "${KQ_WINEARCH} Wine prefix the tests run in")

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

# mingw's C runtime has a 32-bit off_t and stat size unless asked for 64
# bits; libzip's stream source (fseeko, ftello, fstat) then cannot reach
# past 2 GiB of a container. These options reach every C and C++ compile
# of each project configured with this file, the dependency prefix's too
# (toolchain-mingw-options.cmake runs after each project() call, so a build
# folder configured before a change of them still gets them).
set(KQ_MINGW_COMPILE_OPTIONS ${KQ_MINGW_ARCH_FLAGS} -D_FILE_OFFSET_BITS=64)
set(CMAKE_PROJECT_INCLUDE "${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-options.cmake")

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
    "${_kq_source_root}/scripts/lib/wine-run.sh;--wineprefix=${KQ_WINEPREFIX};--winearch=${KQ_WINEARCH}")
