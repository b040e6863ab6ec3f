# Checks the objects of the lane kernels built for SSE2, AVX2 and AVX-512: none
# may define a weak function (an inline function of a shared header, a vtable,
# a template instance), since the linker keeps one copy of such a symbol for
# the whole program and could keep the one compiled for an instruction set the
# processor lacks. Run by CTest with -DNM=... -DOBJECTS=a|b|c.
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object IN LISTS objects)
  if(NOT object MATCHES "korvaxlanes_(sse2|avx2|avx512)\\.cpp")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  execute_process(COMMAND ${NM} -C --defined-only ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${object}")
  endif()
  string(REGEX MATCHALL "[^\n]* [WVu] [^\n]*" weak "${symbols}")
  list(FILTER weak EXCLUDE REGEX "DW\\.ref\\.__gxx_personality_v0")
  # Type descriptions are data, the same whichever instruction set compiled
  # them; the undefined-behaviour sanitizer's checks make every object emit them.
  list(FILTER weak EXCLUDE REGEX " V typeinfo (name )?for ")
  if(weak)
    string(REPLACE ";" "\n" weak "${weak}")
    message(FATAL_ERROR "${object} defines weak symbols:\n${weak}")
  endif()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no kernel objects among ${OBJECTS}")
endif()
message(STATUS "${checked} kernel objects define no weak symbols")
