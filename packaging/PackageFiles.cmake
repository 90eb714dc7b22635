# What an installed copy needs beyond the programs: the icon at the sizes a
# menu uses, and a manual page for each program, written from its --help.
# Both come out the same on every build: rsvg-convert writes no time into a
# PNG, and help2man dates a page by SOURCE_DATE_EPOCH when it is set.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(HELP2MAN help2man REQUIRED)

set(icon ${CMAKE_CURRENT_SOURCE_DIR}/packaging/zel-wireless-server.svg)
set(package_files)
foreach(size 16 24 32 48 64 128 256)
  set(png ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}/zel-wireless-server.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --keep-aspect-ratio --output=${png} ${icon}
    DEPENDS ${icon} VERBATIM)
  list(APPEND package_files ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Without a display the program prints its help whatever the environment.
set(manual_ZelWireless "serve handheld data-collection terminals over TCP")
set(manual_zel-pda "a handheld terminal for the Zel Wireless Server on the command line")
set(manual_zel-load "simulated handhelds that load a Zel Wireless Server and check every reply")
foreach(program ZelWireless zel-pda zel-load)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  set(include ${CMAKE_CURRENT_SOURCE_DIR}/packaging/man/${program}.h2m)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM
      ${HELP2MAN} --no-info --no-discard-stderr --section=1 --version-string=${PROJECT_VERSION}
      --name=${manual_${program}} --include=${include} --output=${page} $<TARGET_FILE:${program}>
    DEPENDS ${program} ${include} VERBATIM)
  list(APPEND package_files ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(package_files ALL DEPENDS ${package_files})
