# Run after every project() call of a build that uses the mingw toolchain
# files: their code generation options for the C and C++ sources (not the
# resource compiler's).
foreach(_kq_option IN LISTS KQ_MINGW_COMPILE_OPTIONS)
    add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${_kq_option}>")
endforeach()
