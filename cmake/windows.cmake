# Windows build: the launcher's objects in one archive, the launcher template
# and the Windows-side test programs.
include(${CMAKE_CURRENT_LIST_DIR}/zstd.cmake)

file(GLOB platform_win32_sources CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/src/platform/win32/*.cpp)
add_library(fenzar_platform_win32 STATIC ${platform_win32_sources})
target_link_libraries(fenzar_platform_win32 PUBLIC fenzar_core)
target_link_libraries(fenzar_core PUBLIC zstd_decompress)

# libfenzar_launcher.a: core, platform layer and zstd in one archive, for the
# launcher templates and the Windows-side test and benchmark programs.
add_library(fenzar_launcher STATIC
  $<TARGET_OBJECTS:fenzar_core>
  $<TARGET_OBJECTS:fenzar_platform_win32>
  $<TARGET_OBJECTS:zstd_decompress>)
set_target_properties(fenzar_launcher PROPERTIES
  LINKER_LANGUAGE CXX
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The launcher template: the launcher linked once, its attached data section
# (with the length constant) last but for the relocations, no resources. The
# packer writes every launcher from it. The entry (wWinMain) is named as
# undefined up front: it lives in the launcher library, which is searched
# before the runtime that calls it. Symbols are of no use to the user (-s).
# Page-aligned sections in the file let the loader map the attached data
# from the file instead of copying it into memory: under Wine that copy cost
# each of the two starts about 0.25 s for 90 MB of data.
enable_language(ASM)
function(fenzar_add_launcher_template target output_directory)
  set(script ${CMAKE_SOURCE_DIR}/src/platform/win32/attached_data_section.ld)
  add_executable(${target}
    ${CMAKE_SOURCE_DIR}/src/platform/win32/attached_data_section.S ${ARGN})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${target} PRIVATE fenzar_launcher)
  target_link_options(${target} PRIVATE
    -municode -mwindows -static -s
    -Wl,--stack,16777216
    -Wl,--no-insert-timestamp
    -Wl,--undefined=wWinMain
    -Wl,--file-alignment=4096
    -Wl,-T,${script})
  set_target_properties(${target} PROPERTIES
    LINK_DEPENDS ${script}
    RUNTIME_OUTPUT_DIRECTORY ${output_directory})
endfunction()
fenzar_add_launcher_template(launcher_template ${CMAKE_BINARY_DIR})

add_subdirectory(tests/windows)
add_subdirectory(examples)

# Windows-side benchmark programs (built only when bench/run asks for them).
add_subdirectory(bench/windows)
