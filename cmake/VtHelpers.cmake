# Helpers shared by every layer, test and benchmark target.

# Designated initializers leave fields at their defaults on purpose.
set(VT_WARNINGS -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(VT_WERROR)
  list(APPEND VT_WARNINGS -Werror)
endif()

if(VT_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VT_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

function(vt_project_warnings target)
  target_compile_options(${target} PRIVATE ${VT_WARNINGS})
endfunction()

set(VT_TOP_LAYER "" CACHE INTERNAL "")
set(VT_LAYERS "" CACHE INTERNAL "")

# One static library per folder under src/. A folder without sources yet gets an
# interface target, so the chain of layers stays whole while it is empty. FooModule.cpp is a
# module the program opens at run time, built on its own.
function(vt_add_layer name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "Module\\.cpp$")
  if(sources)
    add_library(vt_${name} STATIC ${sources})
    target_include_directories(vt_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(vt_${name} PUBLIC ${ARGN})
    vt_project_warnings(vt_${name})
  else()
    add_library(vt_${name} INTERFACE)
    target_include_directories(vt_${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(vt_${name} INTERFACE ${ARGN})
  endif()
  set(VT_TOP_LAYER vt_${name} CACHE INTERNAL "")
  set(VT_LAYERS ${VT_LAYERS} vt_${name} CACHE INTERNAL "")
endfunction()

# Private dependencies of a layer (libraries whose headers stay in its .cpp files).
function(vt_layer_link name)
  get_target_property(type vt_${name} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(vt_${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(vt_${name} PRIVATE ${ARGN})
  endif()
endfunction()
