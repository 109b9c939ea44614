# BLAKE3 from the reference C sources that Debian's librust-blake3-dev ships,
# with the x86-64 SIMD variants (Unix assembly) and runtime dispatch.
file(GLOB _blake3_dirs LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT _blake3_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _blake3_dirs 0 BLAKE3_C_DIR)
if(NOT EXISTS "${BLAKE3_C_DIR}/blake3.h")
  message(FATAL_ERROR "BLAKE3 C sources not found; install librust-blake3-dev (tools/setup does)")
endif()
message(STATUS "BLAKE3 sources: ${BLAKE3_C_DIR}")

set(_blake3_sources
  ${BLAKE3_C_DIR}/blake3.c
  ${BLAKE3_C_DIR}/blake3_dispatch.c
  ${BLAKE3_C_DIR}/blake3_portable.c)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND _blake3_sources
    ${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S
    ${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S
    ${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S
    ${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S)
  set(_blake3_defs)
else()
  set(_blake3_defs BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
add_library(blake3 STATIC ${_blake3_sources})
target_include_directories(blake3 SYSTEM PUBLIC ${BLAKE3_C_DIR})
target_compile_definitions(blake3 PRIVATE ${_blake3_defs})
set_target_properties(blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
