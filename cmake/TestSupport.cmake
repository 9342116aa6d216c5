# Fakes and helpers shared by tests and benchmarks (tests/support). No GoogleTest in here,
# so benchmarks can use them too.
file(GLOB VT_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
if(VT_TEST_SUPPORT)
  add_library(vt_test_support STATIC ${VT_TEST_SUPPORT})
  set(_scope PUBLIC)
  vt_project_warnings(vt_test_support)
else()
  add_library(vt_test_support INTERFACE)
  set(_scope INTERFACE)
endif()
target_include_directories(vt_test_support ${_scope} ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(vt_test_support ${_scope} ${VT_TOP_LAYER})
# Only BuildPaths.cpp sees the paths of this clone: every other object stays the same across
# clones, and the compiler cache serves them.
set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/support/BuildPaths.cpp PROPERTIES COMPILE_DEFINITIONS
  "VT_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\";VT_CORPUS_DIR=\"${CMAKE_SOURCE_DIR}/../shared/corpus\";VT_BINARY_PATH=\"$<TARGET_FILE:vantreel>\"")
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)
if(HTTPLIB_FOUND)
  target_link_libraries(vt_test_support ${_scope} PkgConfig::HTTPLIB)
endif()

# Tests write archives of every kind, xar among them: with libarchive linked from its static
# archive, its XML writer needs libxml2, which the program itself never loads.
if(VT_LIBARCHIVE_STATIC)
  find_library(VT_LIB_xml2 NAMES xml2 libxml2.so.2)
  target_link_libraries(vt_test_support ${_scope} ${VT_LIB_xml2})
endif()

# Tests and benchmarks sign and hash what they serve with libcrypto, which the program
# itself loads only when it checks a download.
target_link_libraries(vt_test_support ${_scope} OpenSSL::Crypto)
