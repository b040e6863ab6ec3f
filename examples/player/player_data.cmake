# Prepares what an intro player includes, in OUT, from a patch file and a MIDI
# song (STEM is the patch file's name without its extension):
#   PATCH.values.h, .ops.h, .params.h   the program (korvax-tool export)
#   MIDI.timestreams.h, .datastreams.h  the song (korvax-tool import-midi)
#   STEM.song.h                         the song length in ticks
#   STEM.modules.h                      KORVAX_USED_MODULES, the opcodes in use
#   player_data.h                       includes all of the above and names the
#                                       default wave file, STEM.wav
# Run as: cmake -DTOOL=korvax-tool -DPATCH=song.korvax -DMIDI=song.mid -DOUT=dir -P player_data.cmake
foreach(_var TOOL PATCH MIDI OUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "player_data.cmake needs -D${_var}=...")
  endif()
endforeach()

cmake_path(GET PATCH FILENAME _patch)
cmake_path(GET MIDI FILENAME _midi)
cmake_path(GET PATCH STEM LAST_ONLY _stem)
file(MAKE_DIRECTORY ${OUT})
file(COPY_FILE ${PATCH} ${OUT}/${_patch})
file(COPY_FILE ${MIDI} ${OUT}/${_midi})

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

run_tool(_import import-midi ${OUT}/${_midi} ${OUT}/${_patch})
run_tool(_export export ${OUT}/${_patch})
run_tool(_compile compile ${OUT}/${_patch})

if(NOT _compile MATCHES "used nodes:([ 0-9]*)")
  message(FATAL_ERROR "korvax-tool compile printed no \"used nodes:\" line:\n${_compile}")
endif()
string(STRIP "${CMAKE_MATCH_1}" _used)
string(REGEX REPLACE " +" ", " _used "${_used}")
if(_used STREQUAL "")
  message(FATAL_ERROR "${PATCH} uses no module: there is nothing to play")
endif()

file(READ ${OUT}/${_patch} _text)
if(NOT _text MATCHES "<song num_ticks=\"([0-9]+)\"")
  message(FATAL_ERROR "${OUT}/${_patch} holds no song length")
endif()
set(_ticks ${CMAKE_MATCH_1})

write_if_changed(${OUT}/${_stem}.song.h
  "#pragma once\n\n// Length of the song in ticks of 128 samples.\nstatic const u32 korvax_song_ticks = ${_ticks};\n")
write_if_changed(${OUT}/${_stem}.modules.h
  "#pragma once\n\n// The modules the program uses; the player builds only these.\n#define KORVAX_USED_MODULES ${_used}\n")
string(CONCAT _header
  "#pragma once\n\n// What the player plays: ${_patch} with ${_midi}.\n"
  "#include \"${_patch}.ops.h\"\n#include \"${_patch}.params.h\"\n#include \"${_patch}.values.h\"\n"
  "#include \"${_midi}.datastreams.h\"\n#include \"${_midi}.timestreams.h\"\n#include \"${_stem}.song.h\"\n\n"
  "#define KORVAX_PLAYER_WAVE \"${_stem}.wav\"\n")
write_if_changed(${OUT}/player_data.h "${_header}")
