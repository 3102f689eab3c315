# The stand-in as one shared library, the counterpart of the system DLLs. A
# program and a shared library it loads (Lintomel under the thumbnail host)
# must share one set of GDI objects, one registry and one resource table:
# a bitmap made by the library is read by the program. Both link this
# instead of their own static copies of the stand-in.
if(NOT WIN32)
    add_library(kqstandin SHARED $<TARGET_PROPERTY:kqplatform,SOURCES>)
    target_include_directories(kqstandin PUBLIC ${CMAKE_CURRENT_LIST_DIR}/include)
    target_link_libraries(kqstandin PUBLIC ${CMAKE_DL_LIBS})
endif()
