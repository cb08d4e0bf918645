# `cmake --install`'s documentation files and `cpack -G DEB` (scripts/package.sh): a Debian
# package whose dependencies are Debian's package names, found by dpkg-shlibdeps from the
# libraries the programs link, plus what is loaded at run time.
set(MURMELIN_MAINTAINER "Murmelin maintainers <maintainers@users.noreply.c-seed-b85ecd41.example>"
    CACHE STRING "The package's maintainer, name <address>")

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/murmelin)
configure_file(packaging/changelog changelog @ONLY)
configure_file(packaging/copyright copyright @ONLY)
add_custom_command(OUTPUT changelog.gz
    COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
    DEPENDS ${CMAKE_BINARY_DIR}/changelog VERBATIM)
add_custom_target(murmelin_changelog ALL DEPENDS changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_BINARY_DIR}/copyright DESTINATION ${doc_dir})

set(CPACK_PACKAGE_NAME murmelin)
set(CPACK_PACKAGE_VENDOR "Murmelin")
set(CPACK_PACKAGE_CONTACT "${MURMELIN_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "push-to-talk dictation for Linux desktops")
set(CPACK_PACKAGE_DESCRIPTION
    "Hold Control+Alt+Space anywhere to dictate: Murmelin records the microphone,\n"
    "recognises the speech on the machine with pocketsphinx and, on release,\n"
    "pastes the cleaned text into the focused application or leaves it on the\n"
    "clipboard. It lives in the system tray and never sends audio off the machine.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so dpkg-shlibdeps cannot see them: the speech model the favoured one is
# made from, Qt's X11 platform plugin and its SVG icon engine (the tray icons).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pocketsphinx-en-us, qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
