# Semantic versions, the one piece of Setup that the maker's native tools
# share: publish accepts exactly the versions Setup does. Built in both trees.
if(NOT TARGET tessaline_semantic_version)
  add_library(tessaline_semantic_version STATIC "${CMAKE_CURRENT_LIST_DIR}/semantic_version.cpp")
  target_include_directories(tessaline_semantic_version PUBLIC "${CMAKE_CURRENT_LIST_DIR}/..")
  tessaline_warnings(tessaline_semantic_version)
endif()
