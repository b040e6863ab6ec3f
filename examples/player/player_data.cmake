# Prepares what the intro player includes, from the bundled demo, in OUT:
#   demo.korvax.values.h, .ops.h, .params.h   the program (korvax-tool export)
#   demo.mid.timestreams.h, .datastreams.h    the song (korvax-tool import-midi)
#   demo.song.h                               the song length in ticks
#   demo.modules.h                            KORVAX_USED_MODULES, the opcodes in use
# Run as: cmake -DTOOL=korvax-tool -DPATCH=demo.korvax -DMIDI=demo.mid -DOUT=dir -P player_data.cmake
foreach(_var TOOL PATCH MIDI OUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "player_data.cmake needs -D${_var}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY ${OUT})
file(COPY_FILE ${PATCH} ${OUT}/demo.korvax)
file(COPY_FILE ${MIDI} ${OUT}/demo.mid)

function(run_tool output)
  execute_process(COMMAND ${TOOL} ${ARGN} --Log-Level 6 WORKING_DIRECTORY ${OUT}
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "korvax-tool ${ARGN} failed (${_rc}):\n${_out}")
  endif()
  set(${output} "${_out}" PARENT_SCOPE)
endfunction()

function(write_if_changed path text)
  if(EXISTS ${path})
    file(READ ${path} _old)
    if(_old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE ${path} "${text}")
endfunction()

run_tool(_import import-midi ${OUT}/demo.mid ${OUT}/demo.korvax)
run_tool(_export export ${OUT}/demo.korvax)
run_tool(_compile compile ${OUT}/demo.korvax)

if(NOT _compile MATCHES "used nodes:([ 0-9]*)")
  message(FATAL_ERROR "korvax-tool compile printed no \"used nodes:\" line:\n${_compile}")
endif()
string(STRIP "${CMAKE_MATCH_1}" _used)
string(REGEX REPLACE " +" ", " _used "${_used}")

file(READ ${OUT}/demo.korvax _patch)
if(NOT _patch MATCHES "<song num_ticks=\"([0-9]+)\"")
  message(FATAL_ERROR "${OUT}/demo.korvax holds no song length")
endif()
set(_ticks ${CMAKE_MATCH_1})

write_if_changed(${OUT}/demo.song.h
  "#pragma once\n\n// Length of the demo song in ticks of 128 samples.\nstatic const u32 korvax_song_ticks = ${_ticks};\n")
write_if_changed(${OUT}/demo.modules.h
  "#pragma once\n\n// The modules the demo's program uses; the player builds only these.\n#define KORVAX_USED_MODULES ${_used}\n")
