# Windows build: the launcher's objects in one archive, the default resources
# and the Windows-side test programs.
include(${CMAKE_CURRENT_LIST_DIR}/zstd.cmake)

file(GLOB platform_win32_sources CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_library(fenzar_platform_win32 STATIC ${platform_win32_sources})
target_link_libraries(fenzar_platform_win32 PUBLIC fenzar_core)
target_link_libraries(fenzar_core PUBLIC zstd_decompress)

# libfenzar_launcher.a: core, platform layer and zstd in one archive, so a
# launcher is its attached data object, the resources object and this file,
# linked by the packer with the flags set in cmake/host.cmake.
add_library(fenzar_launcher STATIC
  $<TARGET_OBJECTS:fenzar_core>
  $<TARGET_OBJECTS:fenzar_platform_win32>
  $<TARGET_OBJECTS:zstd_decompress>)
set_target_properties(fenzar_launcher PROPERTIES
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
