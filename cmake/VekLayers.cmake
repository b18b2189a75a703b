# One library per layer, each seeing only its own headers and those of the layers it links.
# A layer's folder is offered to the compiler through a staging folder of its own in the build
# tree (build/layers/<folder>/<folder> links to the source folder), so "#include "poll/x.h""
# is found only by a target that links the poll layer: an include that points up the layers
# fails to build, and one that links up fails to link.

# Makes `folder` (or the single header `folder/header`) visible as "<folder>/..." to whoever links
# `target`, or as "<name>/..." with AS name.
function(vek_stage_headers target folder)
  cmake_parse_arguments(ARG "" "HEADER;AS" "" ${ARGN})
  set(stage ${CMAKE_BINARY_DIR}/layers/${target})
  set(seen_as ${folder})
  if(ARG_AS)
    set(seen_as ${ARG_AS})
  endif()
  if(ARG_HEADER)
    file(MAKE_DIRECTORY ${stage}/${seen_as})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder}/${ARG_HEADER} ${stage}/${seen_as}/${ARG_HEADER} SYMBOLIC)
  else()
    file(MAKE_DIRECTORY ${stage})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${stage}/${seen_as} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${stage})
  else()
    target_include_directories(${target} PUBLIC ${stage})
  endif()
endfunction()

# A layer: a static library of the sources in `folder`, linking the layers named after LINKS.
function(vek_layer target folder)
  cmake_parse_arguments(ARG "" "" "LINKS" ${ARGN})
  add_library(${target} STATIC)
  vek_stage_headers(${target} ${folder})
  target_link_libraries(${target} PUBLIC ${ARG_LINKS})
  vek_warnings(${target})
endfunction()
