# Host build (Linux): the core against the POSIX layer, its unit tests, the
# packer, the benchmarks, and the Wine end-to-end tests of the Windows tree.
set(FENZAR_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows" CACHE PATH
    "The Windows build tree whose launcher library and test programs are used")

add_subdirectory(tests/unit)
add_subdirectory(tests/fuzz)

foreach(optional tools/pack bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${optional}/CMakeLists.txt)
    add_subdirectory(${optional})
  endif()
endforeach()

# End-to-end tests: each tests/windows/test_*.py is one ctest test run under
# Wine. A persistent wineserver, started before them and stopped after, saves
# about a second per Wine start. They run one at a time: they share the
# prefix's temp directory and judge what launchers leave in it.
set(wine_prefix ${CMAKE_SOURCE_DIR}/build/wineprefix)
set(wineserver /usr/lib/wine/wineserver)
set(wine_environment
  FENZAR_SOURCE_DIR=${CMAKE_SOURCE_DIR}
  FENZAR_WINDOWS_BUILD_DIR=${FENZAR_WINDOWS_BUILD_DIR}
  FENZAR_HOST_BUILD_DIR=${CMAKE_BINARY_DIR}
  WINEPREFIX=${wine_prefix}
  WINEDEBUG=-all
  LANG=C.UTF-8
  PYTHONDONTWRITEBYTECODE=1)

add_test(NAME wineserver.start
         COMMAND python3 -c "import harness; harness.start_wine()"
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/windows)
set_tests_properties(wineserver.start PROPERTIES
  FIXTURES_SETUP wineserver ENVIRONMENT "${wine_environment}" TIMEOUT 180)
add_test(NAME wineserver.stop COMMAND sh -c "${wineserver} -k || true")
set_tests_properties(wineserver.stop PROPERTIES
  FIXTURES_CLEANUP wineserver ENVIRONMENT "${wine_environment}")

file(GLOB windows_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/windows/test_*.py)
foreach(test_file ${windows_tests})
  get_filename_component(module ${test_file} NAME_WE)
  add_test(NAME windows.${module}
           COMMAND python3 -m unittest -v ${module}
           WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/windows)
  set_tests_properties(windows.${module} PROPERTIES
    FIXTURES_REQUIRED wineserver
    RESOURCE_LOCK wineprefix
    ENVIRONMENT "${wine_environment}"
    TIMEOUT 600)
endforeach()
