# korvax_add_player(NAME PATCH MIDI)
#
# An intro player for a patch file and a MIDI song, both read at build time
# (relative paths are taken from the calling directory). It plays the song with
# the patch set and writes the wave file that "korvax --render" writes for the
# patch with that song imported. Targets:
#   NAME        the player: the runtime's sources and player.cpp, built small
#   NAME-data   the exported headers, in NAME-data/ of the calling binary directory
#   NAME-dump   writes the player's data arrays as raw files
#   NAME-size   prints the player's size, stripped and compressed with xz -9e,
#               the sizes of its data and where its bytes go
# The target property KORVAX_PLAYER_DATA_DIR of NAME names the headers' directory.
#
# Needs the targets korvax-tool (to export the headers) and korvax_runtime (whose
# source list the player compiles) to be defined before the call.
set(KORVAX_PLAYER_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../examples/player CACHE INTERNAL
    "Sources of the intro player")
option(KORVAX_PLAYER_USED_MODULES "Build intro players with only the modules their program uses" ON)

function(korvax_add_player name patch midi)
  if(NOT TARGET korvax-tool OR NOT TARGET korvax_runtime)
    message(FATAL_ERROR "korvax_add_player(${name}) needs the targets korvax-tool and korvax_runtime")
  endif()
  cmake_path(ABSOLUTE_PATH patch BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  cmake_path(ABSOLUTE_PATH midi BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE)
  cmake_path(GET patch FILENAME patch_file)
  cmake_path(GET midi FILENAME midi_file)
  cmake_path(GET patch STEM LAST_ONLY stem)
  set(dir ${KORVAX_PLAYER_SOURCE_DIR})
  set(gen ${CMAKE_CURRENT_BINARY_DIR}/${name}-data)

  set(generated
    ${gen}/${patch_file}.values.h ${gen}/${patch_file}.ops.h ${gen}/${patch_file}.params.h
    ${gen}/${midi_file}.timestreams.h ${gen}/${midi_file}.datastreams.h
    ${gen}/${stem}.song.h ${gen}/${stem}.modules.h ${gen}/player_data.h)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:korvax-tool> -DPATCH=${patch} -DMIDI=${midi} -DOUT=${gen}
            -P ${dir}/player_data.cmake
    DEPENDS korvax-tool ${patch} ${midi} ${dir}/player_data.cmake
    COMMENT "Exporting ${patch_file} and ${midi_file} for the player ${name}"
    VERBATIM)
  add_custom_target(${name}-data DEPENDS ${generated})

  # The project's compile options (warnings, exact arithmetic, sanitizers) with
  # -Oz in place of -O2, and the runtime's own source list, so the player always
  # carries exactly what the runtime target is built from. The instructions stay
  # in the order the compiler chose before its last scheduling pass, which the
  # compressor packs better. Without errno from the maths functions a square
  # root is one instruction (with the same result); calls into the C library go
  # through its table of addresses without stubs.
  get_target_property(options korvax_flags INTERFACE_COMPILE_OPTIONS)
  list(REMOVE_ITEM options -O2)
  get_target_property(link_options korvax_flags INTERFACE_LINK_OPTIONS)
  if(NOT link_options)
    set(link_options "")
  endif()
  get_target_property(runtime_dir korvax_runtime SOURCE_DIR)
  get_target_property(runtime_sources korvax_runtime SOURCES)
  list(TRANSFORM runtime_sources PREPEND ${runtime_dir}/)

  add_executable(${name} ${dir}/player.cpp ${runtime_sources})
  add_dependencies(${name} ${name}-data)
  set_target_properties(${name} PROPERTIES KORVAX_PLAYER_DATA_DIR ${gen})
  # The shim directory comes first, so "libbrelm/logging.h" finds the stand-in
  # that compiles logging away.
  target_include_directories(${name} BEFORE PRIVATE ${dir}/shim)
  target_include_directories(${name} PRIVATE ${gen} $<TARGET_PROPERTY:korvax_runtime,INTERFACE_INCLUDE_DIRECTORIES>)
  target_compile_options(${name} PRIVATE ${options} -Oz -fno-schedule-insns2 -fno-math-errno -fno-plt
                         -fno-rtti -fno-exceptions -fno-threadsafe-statics -fno-unwind-tables
                         -fno-asynchronous-unwind-tables -fno-stack-protector -ffunction-sections -fdata-sections)
  target_link_options(${name} PRIVATE ${link_options} -Wl,--gc-sections -Wl,--as-needed -Wl,--build-id=none
                      -Wl,-z,norelro -Wl,-z,noseparate-code)
  # KORVAX_COMPACT: the runtime's modules without their loops for speed.
  target_compile_definitions(${name} PRIVATE KORVAX_COMPACT KORVAX_PLAYER_NAME="${name}")
  if(KORVAX_PLAYER_USED_MODULES)
    target_compile_options(${name} PRIVATE "SHELL:-include ${gen}/${stem}.modules.h")
  endif()
  # A position-dependent executable carries no relocations for the tables of
  # pointers. Without sanitizers (which want position-independent code and the
  # usual start-up) the player is optimised as a whole at link time, links only
  # the C and maths libraries, not the C++ library (player.cpp brings the little
  # it needs), and on x86-64 none of the C start-up files.
  if(NOT KORVAX_SANITIZE)
    target_compile_options(${name} PRIVATE -fno-pie -flto=auto)
    target_link_options(${name} PRIVATE -no-pie -nodefaultlibs -flto=auto -Oz -fno-schedule-insns2
                        -fno-math-errno -fno-plt)
    target_link_libraries(${name} PRIVATE m c gcc)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
      target_compile_definitions(${name} PRIVATE KORVAX_PLAYER_ENTRY)
      target_link_options(${name} PRIVATE -nostartfiles)
    endif()
  endif()

  add_executable(${name}-dump ${dir}/dump_data.cpp)
  add_dependencies(${name}-dump ${name}-data)
  target_include_directories(${name}-dump PRIVATE ${gen})
  target_link_libraries(${name}-dump PRIVATE korvax_flags)

  add_custom_target(${name}-size
    COMMAND bash ${dir}/player_size.sh $<TARGET_FILE:${name}> $<TARGET_FILE:${name}-dump>
            ${CMAKE_CURRENT_BINARY_DIR}/${name}-size
    DEPENDS ${name} ${name}-dump
    VERBATIM)
endfunction()
