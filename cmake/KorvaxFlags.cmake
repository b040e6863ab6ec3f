# Compiler settings shared by every target of the project.
#
# The synthesizer's arithmetic is single precision in the order the code writes
# it, so results are bit-exact across builds: no fused multiply-add contraction
# and never -ffast-math.
add_library(korvax_flags INTERFACE)
target_compile_options(korvax_flags INTERFACE
  -Wall -Wextra -Werror
  -ffp-contract=off
  -fno-fast-math
)
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  target_compile_options(korvax_flags INTERFACE -O2)
endif()

if(KORVAX_SANITIZE STREQUAL "address")
  target_compile_options(korvax_flags INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                -fno-sanitize-recover=undefined)
  target_link_options(korvax_flags INTERFACE -fsanitize=address,undefined)
elseif(KORVAX_SANITIZE STREQUAL "thread")
  target_compile_options(korvax_flags INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(korvax_flags INTERFACE -fsanitize=thread)
elseif(NOT KORVAX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KORVAX_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Test data is found through this path, never through the working directory.
set(KORVAX_TEST_DATA_DIR ${CMAKE_SOURCE_DIR}/tests/data)
