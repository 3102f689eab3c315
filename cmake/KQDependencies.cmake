# Locates the libraries the foundation library and the deliverables call.
# Each is exposed as an imported target named kqdep::<name>.
if(WIN32)
    # Cross-build for Windows: static libraries from the mingw sysroot (zlib)
    # and from KQ_MINGW_PREFIX (the rest, built by scripts/windows-deps.sh),
    # so that the binaries need no DLL beside them.
    if(NOT EXISTS "${KQ_MINGW_PREFIX}/.kq-complete")
        message(FATAL_ERROR "No complete dependency prefix at KQ_MINGW_PREFIX=${KQ_MINGW_PREFIX}; "
                            "run scripts/windows-deps.sh first")
    endif()
    set(ZLIB_USE_STATIC_LIBS ON)
    find_package(ZLIB REQUIRED)
    find_package(BZip2 REQUIRED)
    find_package(JPEG REQUIRED)

    function(kq_static_dependency target library header)
        cmake_parse_arguments(D "" "" "DEFINITIONS;LINK" ${ARGN})
        string(MAKE_C_IDENTIFIER "${target}" var)
        find_library(KQ_${var}_LIBRARY NAMES lib${library}.a REQUIRED)
        find_path(KQ_${var}_INCLUDE_DIR ${header} REQUIRED)
        add_library(${target} STATIC IMPORTED)
        set_target_properties(${target} PROPERTIES
            IMPORTED_LOCATION "${KQ_${var}_LIBRARY}"
            INTERFACE_INCLUDE_DIRECTORIES "${KQ_${var}_INCLUDE_DIR}"
            INTERFACE_COMPILE_DEFINITIONS "${D_DEFINITIONS}"
            INTERFACE_LINK_LIBRARIES "${D_LINK}")
    endfunction()

    # A static libzip must not declare its functions dllimport; it calls
    # bzip2, zlib and advapi32 (random names for its temporary files).
    kq_static_dependency(kqdep::zip zip zip.h
        DEFINITIONS ZIP_STATIC LINK BZip2::BZip2 ZLIB::ZLIB advapi32)
    kq_static_dependency(kqdep::tinyxml tinyxml tinyxml.h DEFINITIONS TIXML_USE_STL)
    # A static Expat must not declare its functions dllimport.
    kq_static_dependency(kqdep::expat expat expat.h DEFINITIONS XML_STATIC)
else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip>=1.7)
    pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml>=2.6)
    pkg_check_modules(EXPAT REQUIRED IMPORTED_TARGET expat>=2.4)
    find_package(ZLIB REQUIRED)
    find_package(BZip2 REQUIRED)
    find_package(JPEG REQUIRED)

    add_library(kqdep::zip ALIAS PkgConfig::LIBZIP)
    add_library(kqdep::tinyxml ALIAS PkgConfig::TINYXML)
    add_library(kqdep::expat ALIAS PkgConfig::EXPAT)
endif()

add_library(kqdep::zlib ALIAS ZLIB::ZLIB)
add_library(kqdep::bzip2 ALIAS BZip2::BZip2)
add_library(kqdep::jpeg ALIAS JPEG::JPEG)

if(KQ_BUILD_TESTS)
    # Cross: GoogleTest's own package from the prefix (static, built from
    # /usr/src/googletest with the same toolchain).
    find_package(GTest REQUIRED)
endif()
