# Windows build: the launcher's objects in one archive, the default resources
# and the Windows-side test programs.

# The entry point, which only a launcher executable has.
add_library(fenzar_entry OBJECT ${CMAKE_SOURCE_DIR}/src/platform/win32/entry.cpp)
target_link_libraries(fenzar_entry PRIVATE fenzar_launcher)

# libfenzar_launcher.a: every layer, the entry point and zstd in one archive,
# so a launcher is its attached data object, the resources object and this
# file, linked by the packer with the flags set in tools/pack/link.cpp.
set(layer_objects)
foreach(layer platform base payload target_dir unpack child launcher)
  list(APPEND layer_objects $<TARGET_OBJECTS:fenzar_${layer}>)
endforeach()
# The record-name rule is a library of its own, shared with the packer.
list(APPEND layer_objects $<TARGET_OBJECTS:fenzar_payload_format>)
add_library(fenzar_launcher_archive STATIC
  ${layer_objects}
  $<TARGET_OBJECTS:fenzar_entry>
  $<TARGET_OBJECTS:zstd_decompress>)
set_target_properties(fenzar_launcher_archive PROPERTIES
  OUTPUT_NAME fenzar_launcher
  LINKER_LANGUAGE CXX
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The default resources (manifest and Fenzar's icon) as one object; the packer
# compiles resources/launcher.rc again when it is given another icon.
set(fenzar_resources_object ${CMAKE_BINARY_DIR}/fenzar_resources.o)
add_custom_command(
  OUTPUT ${fenzar_resources_object}
  COMMAND ${CMAKE_RC_COMPILER} -I ${CMAKE_SOURCE_DIR}/resources
          -O coff -o ${fenzar_resources_object}
          ${CMAKE_SOURCE_DIR}/resources/launcher.rc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/launcher.rc
          ${CMAKE_SOURCE_DIR}/resources/launcher.manifest
          ${CMAKE_SOURCE_DIR}/resources/fenzar.ico
  COMMENT "Compiling launcher resources"
  VERBATIM)
add_custom_target(fenzar_resources ALL DEPENDS ${fenzar_resources_object})

add_subdirectory(tests/windows)
add_subdirectory(examples)

# Windows-side benchmark programs (built only when bench/run asks for them).
add_subdirectory(bench/windows)
