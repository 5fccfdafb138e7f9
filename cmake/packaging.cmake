# Installs the man pages and describes the Debian package that CPack builds.
# Included at the end of the top-level CMakeLists.txt; romup, romup-sim and
# romup-fleet have their own install rules. After a build:
#
#   cmake --install build/default --prefix /usr/local   # the programs and pages
#   cpack --config build/default/CPackConfig.cmake      # romup_<version>_<arch>.deb
#
# scripts/check-package builds a lean package and checks what it installs.
include(GNUInstallDirs)

# Debian policy wants man pages compressed with "gzip -9n" (no name, no time
# stamp, so that two builds give the same bytes); man(1) reads both forms.
find_program(ROMUP_GZIP gzip)
if(ROMUP_GZIP)
    set(romup_gzip_default ON)
else()
    set(romup_gzip_default OFF)
endif()
option(ROMUP_GZIP_MAN_PAGES "Install the man pages compressed with gzip" ${romup_gzip_default})

set(romup_man_pages romup.1 romup-sim.1 romup-fleet.1)
set(romup_installed_pages)
if(ROMUP_GZIP_MAN_PAGES)
    if(NOT ROMUP_GZIP)
        message(FATAL_ERROR "ROMUP_GZIP_MAN_PAGES is ON but gzip was not found")
    endif()
    set(man_build_dir ${PROJECT_BINARY_DIR}/man)
    foreach(page IN LISTS romup_man_pages)
        # gzip compresses in place: copy the page first, so the source stays.
        add_custom_command(
            OUTPUT ${man_build_dir}/${page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${man_build_dir}
            COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page} ${man_build_dir}/${page}
            COMMAND ${ROMUP_GZIP} -9nf ${man_build_dir}/${page}
            DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
            COMMENT "Compressing man page ${page}"
            VERBATIM)
        list(APPEND romup_installed_pages ${man_build_dir}/${page}.gz)
    endforeach()
    add_custom_target(romup_man_pages ALL DEPENDS ${romup_installed_pages})
else()
    foreach(page IN LISTS romup_man_pages)
        list(APPEND romup_installed_pages ${PROJECT_SOURCE_DIR}/man/${page})
    endforeach()
endif()
install(FILES ${romup_installed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Debian package: /usr/bin/romup, /usr/bin/romup-sim, /usr/bin/romup-fleet and
# their man pages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME romup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "romup developers")
set(CPACK_PACKAGE_CONTACT "romup developers <romup@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The extended description, under the summary line: each line becomes one line
# of the control file, indented by CPack; "." stands for an empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "romup reprograms the Flash memory of a Tavrin 3306 modem attached to a
serial port: it probes the modem with AT commands, streams a loader into
its RAM, and after the operator's confirmation streams the firmware image
into the Flash through that loader and restarts the modem.
.
romup-fleet reprograms several modems at once, one romup per port, with
one decision for all, a summary and a JSON Lines report.
.
romup-sim is a simulated Tavrin 3306 on a pseudo-terminal, to rehearse a
reprogramming, and each failure romup reports, without real equipment.")

# Dependencies: dpkg-shlibdeps (dpkg-dev, with file(1) for CPack to find the
# programs) reads them off the binaries; without it, name the libraries.
find_program(ROMUP_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(ROMUP_FILE file)
if(ROMUP_DPKG_SHLIBDEPS AND ROMUP_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()

include(CPack)
