# Windows build: the launcher template, which the packer writes every launcher
# from, and the Windows-side test programs.

# The launcher template: the launcher linked once, its attached data section
# (with the length constant) last but for the relocations, no resources. Only
# a launcher executable has the entry point and the data section; the layers
# come from fenzar_launcher. Symbols are of no use to the user (-s).
# Page-aligned sections in the file let the loader map the attached data
# from the file instead of copying it into memory: under Wine that copy cost
# each of the two starts about 0.25 s for 90 MB of data.
# The template is linked for the windows subsystem and records the console
# start-up, from which the packer makes console launchers; SUBSYSTEM console
# links one for the console instead, which the tests compare with that.
enable_language(ASM)
function(fenzar_add_launcher_template target output_directory)
  cmake_parse_arguments(PARSE_ARGV 2 template "" "SUBSYSTEM" "")
  if(NOT template_SUBSYSTEM)
    set(template_SUBSYSTEM windows)
  endif()
  set(script ${CMAKE_SOURCE_DIR}/src/launcher/attached_data_section.ld)
  add_executable(${target}
    ${CMAKE_SOURCE_DIR}/src/launcher/entry.cpp
    ${CMAKE_SOURCE_DIR}/src/launcher/attached_data_section.S
    ${template_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE fenzar_launcher)
  target_link_options(${target} PRIVATE
    -municode -m${template_SUBSYSTEM} -static -s
    -Wl,--stack,16777216
    -Wl,--no-insert-timestamp
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

# fenzar-pack.exe, the packer for Windows users.
add_subdirectory(tools/pack)
