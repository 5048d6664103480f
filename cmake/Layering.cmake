# The folders of src/ and the folders each may use. A folder's library links
# exactly these, and the layering check refuses an include of any other.
set(TESSALINE_LAYERS common installation trust transfer winintegration install uninstall ui entry)
set(TESSALINE_USES_common "")
set(TESSALINE_USES_installation common)
set(TESSALINE_USES_trust common)
set(TESSALINE_USES_transfer common trust)
set(TESSALINE_USES_winintegration common)
set(TESSALINE_USES_install common installation trust transfer winintegration)
set(TESSALINE_USES_uninstall common installation winintegration)
set(TESSALINE_USES_ui common trust install)
# The entry chooses the mode: the window, the uninstall and cleanup workers,
# and the test modes that verify a manifest or decide a lifecycle.
set(TESSALINE_USES_entry common installation trust winintegration install uninstall ui)

# Runs the check at every build, before any folder's library compiles.
if(NOT TARGET tessaline_layering)
  set(_arguments "")
  foreach(layer IN LISTS TESSALINE_LAYERS)
    list(JOIN TESSALINE_USES_${layer} "," _uses)
    list(APPEND _arguments "-DUSES_${layer}=${_uses}")
  endforeach()
  list(JOIN TESSALINE_LAYERS "," _layers)
  add_custom_target(tessaline_layering
    COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src" "-DLAYERS=${_layers}" ${_arguments}
            -P "${PROJECT_SOURCE_DIR}/cmake/CheckLayering.cmake"
    COMMENT "Checking that src/ folders include only what they may use"
    VERBATIM)
endif()

# tessaline_folder_library(<folder> SOURCES <files...> [LINKS <targets...>])
function(tessaline_folder_library folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(tessaline_${folder} STATIC ${ARG_SOURCES})
  foreach(used IN LISTS TESSALINE_USES_${folder})
    target_link_libraries(tessaline_${folder} PUBLIC tessaline_${used})
  endforeach()
  target_link_libraries(tessaline_${folder} PUBLIC ${ARG_LINKS})
  add_dependencies(tessaline_${folder} tessaline_layering)
  tessaline_warnings(tessaline_${folder})
endfunction()
