# The layers of the launcher's code: each folder of src/ is a static library
# of its own, and the build lets a library include and call only what it
# links. Each library exposes exactly its own folder, under its own name,
# through an include root that holds nothing else; so "X/header.h" resolves
# only in a library that links fenzar_X (directly or through a layer below),
# and an include against the layering fails to compile. A call against it
# fails to link, since the libraries are linked from the top down.
#
#   fenzar_layer(NAME SOURCES file... [DEPENDS library...])
function(fenzar_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "" "SOURCES;DEPENDS")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  add_library(fenzar_${name} STATIC ${layer_SOURCES})
  target_include_directories(fenzar_${name} PUBLIC ${root})
  target_link_libraries(fenzar_${name} PUBLIC ${layer_DEPENDS})
  if(FENZAR_SANITIZE_FLAGS)
    target_compile_options(fenzar_${name} PRIVATE ${FENZAR_SANITIZE_FLAGS})
    target_link_options(fenzar_${name} INTERFACE ${FENZAR_SANITIZE_FLAGS})
  endif()
endfunction()
