# Fails when a source includes a header of a room it may not use. Run by the build (the target
# quorvik_layers) with -DSOURCE_DIR=<the source tree>; the rooms and what each may use mirror
# the libraries' links in CMakeLists.txt: one way, from the Linux calls up to the program.
#
# A header in a folder below a room's own (platform/machine/evt/, libs/unlha32/...) belongs to
# that room alone.

set(rooms
  platform/linux platform/machine platform expr eventlog config core actions notify ingest
  session ui app tools libs/unlha32 libs/bsmtp)

set(uses_platform platform)
set(uses_platform/linux ${uses_platform} platform/linux)
set(uses_platform/machine ${uses_platform} platform/machine)
set(uses_expr ${uses_platform} expr)
set(uses_eventlog ${uses_platform/machine} eventlog)
set(uses_config ${uses_eventlog} expr config)
set(uses_core ${uses_config} core)
set(uses_actions ${uses_core} actions)
set(uses_notify ${uses_actions} notify)
set(uses_ingest ${uses_core} ingest)
set(uses_session ${uses_notify} ingest session)
set(uses_ui ${uses_session} ui)
set(uses_app ${uses_ui} app)
set(uses_tools ${uses_session} tools)
# The libraries the program loads: the entry points' types come from the code that calls them.
set(uses_libs/unlha32 ${uses_platform/machine} actions libs/unlha32)
set(uses_libs/bsmtp ${uses_notify} libs/bsmtp)

# The room of a path, the longest that holds it; empty for none.
function(room_of path out)
  set(found "")
  foreach(room ${rooms})
    string(LENGTH "${room}/" length)
    string(SUBSTRING "${path}" 0 ${length} head)
    if(head STREQUAL "${room}/")
      string(LENGTH "${found}" best)
      string(LENGTH "${room}" mine)
      if(mine GREATER best)
        set(found "${room}")
      endif()
    endif()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

set(faults "")
foreach(room ${rooms})
  file(GLOB sources LIST_DIRECTORIES false RELATIVE "${SOURCE_DIR}"
    "${SOURCE_DIR}/${room}/*.h" "${SOURCE_DIR}/${room}/*.cpp"
    "${SOURCE_DIR}/${room}/*/*.h" "${SOURCE_DIR}/${room}/*/*.cpp")
  foreach(source ${sources})
    room_of("${source}" owner)
    if(NOT owner STREQUAL room)
      continue()  # a deeper room's file, checked as its own
    endif()
    file(STRINGS "${SOURCE_DIR}/${source}" lines REGEX "^#include \"[^\"]+\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
      room_of("${header}" target)
      if(target STREQUAL "")
        continue()  # the standard library, or a header of no room (generated)
      endif()
      list(FIND uses_${room} "${target}" allowed)
      # A header below a room's own folder is that room's alone.
      string(LENGTH "${target}/" length)
      string(SUBSTRING "${header}" ${length} -1 below)
      string(FIND "${below}" "/" private)
      if(allowed EQUAL -1 OR (NOT private EQUAL -1 AND NOT target STREQUAL room))
        list(APPEND faults "${source}: ${room}/ may not include \"${header}\"")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
