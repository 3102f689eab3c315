# Locates the libraries the foundation library and the deliverables call.
# Each is exposed as an imported target named kqdep::<name>.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip>=1.7)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml>=2.6)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(JPEG REQUIRED)

add_library(kqdep::zip ALIAS PkgConfig::LIBZIP)
add_library(kqdep::tinyxml ALIAS PkgConfig::TINYXML)
add_library(kqdep::zlib ALIAS ZLIB::ZLIB)
add_library(kqdep::bzip2 ALIAS BZip2::BZip2)
add_library(kqdep::jpeg ALIAS JPEG::JPEG)

if(KQ_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
