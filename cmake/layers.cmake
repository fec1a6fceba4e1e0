# The layers of the launcher's code: each folder of src/ is a static library
# of its own, and the build lets a library include and call only what it
# links. Each library exposes exactly its own folder, under its own name,
# through an include root that holds nothing else; so "X/header.h" resolves
# only in a library that links fenzar_X (directly or through a layer below),
# and an include against the layering fails to compile.
#
# A call against the layering would still link into a program that links the
# higher layer anyway (static archives resolve it once anything else pulled
# the callee in); so each layer also gets a check program that takes every
# object of its own library (whole archive) and links only the layers it
# depends on. A call upward, even one declared by hand, leaves an undefined
# reference there and fails the build.
#
#   fenzar_layer(NAME SOURCES file... [DEPENDS library...]
#                [FOLDER folder HEADERS header...])
#
# FOLDER and HEADERS make a layer of part of a folder: its include root
# holds only the headers named, under the folder's name, so the packer can
# share the attached data's format without seeing the rest of the folder.
function(fenzar_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 layer "" "FOLDER" "SOURCES;DEPENDS;HEADERS")
  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${root})
  if(layer_FOLDER)
    file(MAKE_DIRECTORY ${root}/${layer_FOLDER})
    foreach(header IN LISTS layer_HEADERS)
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${layer_FOLDER}/${header} ${root}/${layer_FOLDER}/${header} SYMBOLIC)
    endforeach()
    list(TRANSFORM layer_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/src/${layer_FOLDER}/)
  else()
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
  endif()
  add_library(fenzar_${name} STATIC ${layer_SOURCES})
  target_include_directories(fenzar_${name} PUBLIC ${root})
  target_link_libraries(fenzar_${name} PUBLIC ${layer_DEPENDS})
  if(FENZAR_SANITIZE_FLAGS)
    target_compile_options(fenzar_${name} PRIVATE ${FENZAR_SANITIZE_FLAGS})
    target_link_options(fenzar_${name} INTERFACE ${FENZAR_SANITIZE_FLAGS})
  endif()
  add_executable(fenzar_${name}_link_check ${CMAKE_SOURCE_DIR}/cmake/layer_link_check.cpp)
  target_link_libraries(fenzar_${name}_link_check PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,fenzar_${name}>")
endfunction()
