# Fails if a source file includes a header from a layer above its own. The layers of
# src/, lowest first; a file may include its own layer and those below it:
#
#   base     platform calls, the fatal-failure path, byte loads, the processor count
#   table    the sharded table, SipHash, the shard locks
#   core     the coordination state, its records, inboxes and history
#   binding  the Python modules
#
# Run as: cmake -DSOURCE_DIR=<src> -P check_layers.cmake
set(layers base table core binding)
set(violations "")
foreach(layer IN LISTS layers)
  list(FIND layers ${layer} rank)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${layer}/*.h" "${SOURCE_DIR}/${layer}/*.cpp")
  if(NOT files)
    message(FATAL_ERROR "no sources under ${SOURCE_DIR}/${layer}")
  endif()
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([a-z_]+)/.*$" "\\1" included "${line}")
      list(FIND layers ${included} included_rank)
      if(included_rank GREATER rank)
        file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
        list(APPEND violations "${shown} (${layer}) includes ${included}/: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(violations)
  list(JOIN violations "\n  " shown)
  message(FATAL_ERROR "includes that point up a layer:\n  ${shown}")
endif()
message(STATUS "includes point down only: base <- table <- core <- binding")
