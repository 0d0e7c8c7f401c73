# Installation and the Debian package: the program and the emulator, the desktop entry, the icons
# of the hicolor theme, the manual pages, the copyright and changelog, and the udev rule for real
# units (data/).

# The desktop entry's name without ".desktop", and the icons' name: the program names its desktop
# file by it, so that desktops tie its windows to the menu entry.
set(TOLVANE_APP_ID org.tolvane.Tolvane)
target_compile_definitions(tolvane_windows PRIVATE TOLVANE_APP_ID="${TOLVANE_APP_ID}")
# udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d, not /usr/local/lib/udev/rules.d: an
# install under another prefix sets this to /etc/udev/rules.d.
set(TOLVANE_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule is installed")

# The icons, drawn at build time from one list of shapes.
set(TOLVANE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons/hicolor)
set(icon_files ${icon_dir}/scalable/apps/${TOLVANE_APP_ID}.svg)
foreach(size IN LISTS TOLVANE_ICON_SIZES)
  list(APPEND icon_files ${icon_dir}/${size}x${size}/apps/${TOLVANE_APP_ID}.png)
endforeach()
add_executable(tolvane_make_icon ${CMAKE_CURRENT_SOURCE_DIR}/data/icon/make_icon.cpp)
target_link_libraries(tolvane_make_icon PRIVATE Qt6::Gui)
add_custom_command(
  OUTPUT ${icon_files}
  COMMAND tolvane_make_icon ${TOLVANE_APP_ID} ${icon_dir} ${TOLVANE_ICON_SIZES}
  DEPENDS tolvane_make_icon
  COMMENT "Drawing the icons"
  VERBATIM)
add_custom_target(tolvane_icons ALL DEPENDS ${icon_files})
# The program carries the PNG sizes as well, for its window icon where the icon theme has none (a
# program run from the build tree, or installed under a prefix that the theme does not search).
set(icon_pngs ${icon_files})
list(FILTER icon_pngs INCLUDE REGEX "[.]png$")
qt_add_resources(tolvane_windows tolvane_icon PREFIX /icons/hicolor BASE ${icon_dir} FILES ${icon_pngs})

# The manual pages with the version put in, and the package's changelog, compressed as Debian
# wants them (cmake/gzip.cmake).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_pages tolvane.1 tolvane-cli.1)
if(TARGET skarvel-sim)
  list(APPEND man_pages skarvel-sim.1)
endif()
set(man_files)
foreach(page IN LISTS man_pages)
  configure_file(data/man/${page}.in ${CMAKE_CURRENT_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -DGZIP=${GZIP_PROGRAM} -DINPUT=${CMAKE_CURRENT_BINARY_DIR}/man/${page}
            -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz -P
            ${CMAKE_CURRENT_SOURCE_DIR}/cmake/gzip.cmake
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/man/${page} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/gzip.cmake
    VERBATIM)
  list(APPEND man_files ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
endforeach()
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.Debian.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/doc
  COMMAND ${CMAKE_COMMAND} -DGZIP=${GZIP_PROGRAM} -DINPUT=${CMAKE_CURRENT_SOURCE_DIR}/data/deb/changelog
          -DOUTPUT=${changelog} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/gzip.cmake
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/changelog ${CMAKE_CURRENT_SOURCE_DIR}/cmake/gzip.cmake
  VERBATIM)
add_custom_target(tolvane_docs ALL DEPENDS ${man_files} ${changelog})

# The programs' own install rules stand beside their targets (top level and sim/).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/data/${TOLVANE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${icon_dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/data/udev/70-tolvane-skarvel.rules
        DESTINATION ${TOLVANE_UDEV_RULES_DIR})
install(FILES ${man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian's place, named after the package (not the project).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolvane)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tolvane)

# The Debian package: `cpack` in the build folder.
pkg_check_modules(ICU_UC QUIET icu-uc)
if(ICU_UC_VERSION MATCHES "^([0-9]+)")
  set(icu_package "libicu${CMAKE_MATCH_1}")  # Debian names ICU's runtime by its major version
else()
  set(icu_package "libicu72")
endif()
set(TOLVANE_DEB_DEPENDS
    "libc6"
    "libstdc++6"
    "libgcc-s1"
    "libqt6core6 (>= 6.4)"
    "libqt6gui6 (>= 6.4)"
    "libqt6widgets6 (>= 6.4)"
    "libqt6sql6 (>= 6.4)"
    "libqt6sql6-sqlite"
    "libsqlite3-0"
    "libpq5"
    "qt6-qpa-plugins"
    "${icu_package}"
    "libsimpleini1"
    "libglib2.0-0"
    "libgstreamer1.0-0 (>= 1.22)"
    "libgstreamer-plugins-base1.0-0 (>= 1.22)"
    "gstreamer1.0-plugins-base"
    "gstreamer1.0-plugins-good"
    "gstreamer1.0-plugins-ugly"
    "gstreamer1.0-libav"
    "gstreamer1.0-pulseaudio")
list(JOIN TOLVANE_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "Tolvane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The Debian revision comes from the top entry of the package's changelog, which names this
# version: a package that is not native carries changelog.Debian.gz.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/changelog changelog_top LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                       ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/changelog)
if(changelog_top MATCHES "^tolvane \\(([^)-]+)-([^)]+)\\)" AND CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${CMAKE_MATCH_2})
else()
  message(WARNING "data/deb/changelog has no entry for ${PROJECT_VERSION} at its top")
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service and set-up tool for Skarvel lift-alarm units")
# Lines under 80 columns: the package's description is shown as it stands.
set(CPACK_PACKAGE_DESCRIPTION
    "Tolvane chooses a Skarvel unit on USB (FT232), writes its parameters or
restores its defaults, loads new firmware from an Intel HEX file, records the
unit's voice message from an audio file and offers a console for command
lines. A udev rule gives the logged-in user access to a unit.
The command tolvane-cli runs the same jobs on several units at once.")
if(TARGET skarvel-sim)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\nThe emulator skarvel-sim serves emulated units.")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvane developers <developers@tolvane.org>")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/data/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
