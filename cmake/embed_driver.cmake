# The wrapper carries the driver's Cargo project as text. The three files are
# turned into a generated source at build time, so any byte changed in
# driver_project/ changes what the wrapper carries (and the driver directory).
set(KELV_DRIVER_FILES
  ${CMAKE_CURRENT_SOURCE_DIR}/driver_project/Cargo.toml
  ${CMAKE_CURRENT_SOURCE_DIR}/driver_project/src/main.rs
  ${CMAKE_CURRENT_SOURCE_DIR}/driver_project/src/early_link.rs)
set(KELV_DRIVER_EMBED_CPP ${CMAKE_CURRENT_BINARY_DIR}/driver_project_text.cpp)
add_custom_command(
  OUTPUT ${KELV_DRIVER_EMBED_CPP}
  COMMAND ${CMAKE_COMMAND} -DOUT=${KELV_DRIVER_EMBED_CPP}
          -DMANIFEST=${CMAKE_CURRENT_SOURCE_DIR}/driver_project/Cargo.toml
          -DMAIN=${CMAKE_CURRENT_SOURCE_DIR}/driver_project/src/main.rs
          -DEARLY=${CMAKE_CURRENT_SOURCE_DIR}/driver_project/src/early_link.rs
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_driver_gen.cmake
  DEPENDS ${KELV_DRIVER_FILES} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/embed_driver_gen.cmake
  COMMENT "Embedding driver_project/")
