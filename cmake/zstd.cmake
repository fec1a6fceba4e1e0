# zstd for the launcher and the packer.
#
# Windows: static libraries built from zstd's own sources (cached by
# scripts/setup): `zstd_decompress`, only what decompression needs, for the
# launcher, and `zstd`, the whole library with worker threads, for the packer.
# Host: Debian's libzstd as the imported target `zstd`; the packer also uses
# it for compression. The release build (scripts/dist) sets
# FENZAR_ZSTD_FROM_SOURCE and links the same sources as Windows, with worker
# threads, statically: Debian's libzstd.a has no multithreading, so
# `--threads` would fail.
# `fenzar_zstd` names the one the launcher's reader links on either.

option(FENZAR_ZSTD_FROM_SOURCE
  "Host: build zstd from its sources with worker threads, statically (release)" OFF)

if(WIN32 OR FENZAR_ZSTD_FROM_SOURCE)
  if(DEFINED ENV{FENZAR_CACHE})
    set(default_zstd_source_dir "$ENV{FENZAR_CACHE}/zstd-1.5.4")
  else()
    set(default_zstd_source_dir "$ENV{HOME}/.cache/fenzar/zstd-1.5.4")
  endif()
  set(FENZAR_ZSTD_SOURCE_DIR "${default_zstd_source_dir}" CACHE PATH
      "zstd 1.5.4 source tree (scripts/setup extracts it)")
  if(NOT EXISTS "${FENZAR_ZSTD_SOURCE_DIR}/lib/zstd.h")
    message(FATAL_ERROR
      "zstd sources not found in ${FENZAR_ZSTD_SOURCE_DIR}; run scripts/setup "
      "or pass -DFENZAR_ZSTD_SOURCE_DIR")
  endif()
  set(zstd_lib "${FENZAR_ZSTD_SOURCE_DIR}/lib")
  set(zstd_definitions
    ZSTD_DISABLE_ASM
    ZSTD_TRACE=0
    ZSTD_LEGACY_SUPPORT=0
    XXH_NAMESPACE=ZSTD_
    DEBUGLEVEL=0)

  # The same version as Debian's libzstd on the host, so that every packer
  # writes the same frames. Threads are zstd's own: Windows threads there,
  # pthreads on Linux.
  file(GLOB zstd_full_sources
    "${zstd_lib}/common/*.c"
    "${zstd_lib}/compress/*.c"
    "${zstd_lib}/decompress/*.c")
  add_library(zstd STATIC ${zstd_full_sources})
  target_include_directories(zstd SYSTEM PUBLIC "${zstd_lib}")
  target_compile_definitions(zstd PRIVATE ZSTD_MULTITHREAD ${zstd_definitions})
  # Third-party code: optimised, and its warnings are not ours to fix.
  target_compile_options(zstd PRIVATE -O3 -w)
  if(NOT WIN32)
    set(THREADS_PREFER_PTHREAD_FLAG ON)
    find_package(Threads REQUIRED)
    target_link_libraries(zstd PUBLIC Threads::Threads)
  endif()
endif()

if(WIN32)
  # pool.c and threading.c compile to (almost) nothing without
  # ZSTD_MULTITHREAD. huf_decompress_amd64.S is left out: zstd enables its
  # assembly only on Linux and Apple targets (ZSTD_ASM_SUPPORTED is 0 for
  # _WIN32 in common/portability_macros.h), so on Windows the C decoder loops
  # run, still with run-time BMI2 dispatch.
  file(GLOB zstd_sources
    "${zstd_lib}/common/*.c"
    "${zstd_lib}/decompress/*.c")
  add_library(zstd_decompress STATIC ${zstd_sources})
  target_include_directories(zstd_decompress SYSTEM PUBLIC "${zstd_lib}")
  target_compile_definitions(zstd_decompress PRIVATE ${zstd_definitions})
  target_compile_options(zstd_decompress PRIVATE -O3 -w)
  add_library(fenzar_zstd ALIAS zstd_decompress)
elseif(FENZAR_ZSTD_FROM_SOURCE)
  add_library(fenzar_zstd ALIAS zstd)
else()
  find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
  find_library(ZSTD_LIBRARY zstd REQUIRED)
  add_library(zstd UNKNOWN IMPORTED GLOBAL)
  set_target_properties(zstd PROPERTIES
    IMPORTED_LOCATION "${ZSTD_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${ZSTD_INCLUDE_DIR}")
  add_library(fenzar_zstd ALIAS zstd)
endif()
