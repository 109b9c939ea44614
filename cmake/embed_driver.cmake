# The wrapper carries the driver's Cargo project as text. A small generator,
# built first, turns the three files into a C++ source at build time, with
# the driver directory's digest over them computed there: any byte changed in
# driver_project/ changes what the wrapper carries (and the driver directory).
# Needs KELV_ROOT and OpenSSL::Crypto; sets KELV_DRIVER_EMBED_CPP.
set(KELV_DRIVER_FILES
  ${KELV_ROOT}/driver_project/Cargo.toml
  ${KELV_ROOT}/driver_project/src/main.rs
  ${KELV_ROOT}/driver_project/src/early_link.rs)
set(KELV_DRIVER_EMBED_CPP ${CMAKE_CURRENT_BINARY_DIR}/driver_project_text.cpp)
add_executable(kelv-embed-driver ${KELV_ROOT}/cmake/embed_driver.cpp)
target_include_directories(kelv-embed-driver PRIVATE ${KELV_ROOT}/src)
target_link_libraries(kelv-embed-driver PRIVATE OpenSSL::Crypto)
add_custom_command(
  OUTPUT ${KELV_DRIVER_EMBED_CPP}
  COMMAND kelv-embed-driver ${KELV_DRIVER_EMBED_CPP} ${KELV_DRIVER_FILES}
  DEPENDS kelv-embed-driver ${KELV_DRIVER_FILES}
  COMMENT "Embedding driver_project/")
