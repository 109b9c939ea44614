# fmt for a target that compiles src/util/format_library.cpp, fmt's compiled
# part, which is instantiated as fmt 9 (Debian 12's) declares it: with fmt 9
# the target takes fmt's headers only; with another version that source is
# left out and `fallback` (fmt::fmt-header-only or fmt::fmt) is linked.
find_package(fmt REQUIRED)
function(kelv_use_fmt target fallback)
  if(fmt_VERSION VERSION_GREATER_EQUAL 9 AND fmt_VERSION VERSION_LESS 10)
    target_include_directories(${target} SYSTEM PUBLIC
      $<TARGET_PROPERTY:fmt::fmt,INTERFACE_INCLUDE_DIRECTORIES>)
  else()
    target_link_libraries(${target} PUBLIC ${fallback})
    set_source_files_properties(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/util/format_library.cpp
      TARGET_DIRECTORY ${target} PROPERTIES HEADER_FILE_ONLY ON)
  endif()
endfunction()
