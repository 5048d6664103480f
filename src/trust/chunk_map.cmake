# The content chunker and its map, shared with the maker's native tools: the
# publisher and Setup must cut a package alike. Built in both trees.
if(NOT TARGET tessaline_chunk_map)
  add_library(tessaline_chunk_map STATIC "${CMAKE_CURRENT_LIST_DIR}/chunk_map.cpp")
  target_include_directories(tessaline_chunk_map PUBLIC "${CMAKE_CURRENT_LIST_DIR}/..")
  tessaline_warnings(tessaline_chunk_map)
endif()
