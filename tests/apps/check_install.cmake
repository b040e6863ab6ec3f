# Installs the build into a fresh prefix and checks that the editor's desktop
# entry names the installed program and an icon that is installed.
# Arguments: -DBINARY_DIR=... -DPREFIX=...
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${PREFIX} RESULT_VARIABLE result
                OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(path bin/korvax share/applications/korvax.desktop share/icons/hicolor/scalable/apps/korvax.svg
        share/icons/hicolor/48x48/apps/korvax.png share/icons/hicolor/256x256/apps/korvax.png)
  if(NOT EXISTS ${PREFIX}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
file(STRINGS ${PREFIX}/share/applications/korvax.desktop entry)
foreach(line "Exec=korvax %f" "Icon=korvax" "Type=Application")
  list(FIND entry "${line}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks '${line}'")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
