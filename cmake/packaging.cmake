# Installs the man pages, the package's documents and the station's examples,
# and describes the Debian package that CPack builds. Included at the end of
# the top-level CMakeLists.txt; romup, romup-sim and romup-fleet have their own
# install rules. After a build:
#
#   cmake --install build/default --prefix /usr/local   # the programs and files
#   cpack --config build/default/CPackConfig.cmake      # romup_<version>_<arch>.deb
#
# scripts/check-package builds a lean package and checks what it installs.
include(GNUInstallDirs)

# Debian policy wants man pages and changelogs compressed with "gzip -9n" (no
# name, no time stamp, so that two builds give the same bytes); man(1) reads
# both forms.
find_program(ROMUP_GZIP gzip)
if(ROMUP_GZIP)
    set(romup_gzip_default ON)
else()
    set(romup_gzip_default OFF)
endif()
option(ROMUP_GZIP_MAN_PAGES "Install the man pages and the changelog compressed with gzip"
       ${romup_gzip_default})
if(ROMUP_GZIP_MAN_PAGES AND NOT ROMUP_GZIP)
    message(FATAL_ERROR "ROMUP_GZIP_MAN_PAGES is ON but gzip was not found")
endif()

# romup_install_gzipped(FILE DESTINATION): installs FILE into DESTINATION,
# compressed as FILE.gz where ROMUP_GZIP_MAN_PAGES is on.
set(romup_gzip_dir ${PROJECT_BINARY_DIR}/gzipped)
set(romup_gzipped)
function(romup_install_gzipped file destination)
    if(NOT ROMUP_GZIP_MAN_PAGES)
        install(FILES ${file} DESTINATION ${destination})
        return()
    endif()
    get_filename_component(name ${file} NAME)
    # gzip compresses in place: copy the file first, so the source stays.
    add_custom_command(
        OUTPUT ${romup_gzip_dir}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${romup_gzip_dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${file} ${romup_gzip_dir}/${name}
        COMMAND ${ROMUP_GZIP} -9nf ${romup_gzip_dir}/${name}
        DEPENDS ${file}
        COMMENT "Compressing ${name}"
        VERBATIM)
    install(FILES ${romup_gzip_dir}/${name}.gz DESTINATION ${destination})
    set(romup_gzipped ${romup_gzipped} ${romup_gzip_dir}/${name}.gz PARENT_SCOPE)
endfunction()

foreach(page romup.1 romup-sim.1 romup-fleet.1)
    romup_install_gzipped(${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The package's maintainer, also the author of its changelog entry. The
# project has no mailing address of its own: a package built for a site should
# name the site's (-DROMUP_PACKAGE_CONTACT="Name <address>").
set(ROMUP_PACKAGE_CONTACT "romup developers <romup@example.org>"
    CACHE STRING "The Debian package's maintainer, as Name <address>")

# The documents Debian wants of every package, in /usr/share/doc/romup: the
# copyright notice, and the changelog of a package without a Debian revision
# (one entry, for this version; its date the build's, or SOURCE_DATE_EPOCH).
set(romup_doc_dir ${PROJECT_BINARY_DIR}/doc)
file(WRITE ${romup_doc_dir}/copyright
"romup, romup-fleet and romup-sim, with their manual pages and examples

Copyright 2026 romup developers

romup is not published under a licence yet; until one is chosen, all rights
are reserved by its developers.
")
string(TIMESTAMP romup_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${romup_doc_dir}/changelog
"romup (${PROJECT_VERSION}) unstable; urgency=medium

  * romup ${PROJECT_VERSION}.

 -- ${ROMUP_PACKAGE_CONTACT}  ${romup_changelog_date}
")
install(FILES ${romup_doc_dir}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
romup_install_gzipped(${romup_doc_dir}/changelog ${CMAKE_INSTALL_DOCDIR})
if(romup_gzipped)
    add_custom_target(romup_gzipped ALL DEPENDS ${romup_gzipped})
endif()

# The flashing station's systemd unit and its settings, for the operator to
# copy into /etc.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/systemd/romup-station.service
              ${PROJECT_SOURCE_DIR}/contrib/systemd/romup-station.env
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The Debian package: /usr/bin/romup, /usr/bin/romup-sim, /usr/bin/romup-fleet,
# their man pages and the documents above.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME romup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "romup developers")
set(CPACK_PACKAGE_CONTACT "${ROMUP_PACKAGE_CONTACT}")
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
