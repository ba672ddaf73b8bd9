# Debian packages (cpack -G DEB; scripts/package builds them for armhf):
#   bio-module        what the board needs: the plug-in and its documentation
#   bio-module-tools  bio-host, bio-stream, bio-tune, their private stand-in host library, the virtual
#                     sensor and bio-host's configurations; depends on bio-module
# A stand-in host or a libc interposer never installs with the plug-in.
#
# Layout under /usr (docs/packaging.md explains the choices):
#   lib/ovra/plugins/libbio_module.so   the plug-in, where the host framework loads plug-ins from
#   bin/bio-host, bin/bio-stream,       the tools
#   bin/bio-tune
#   lib/bio_module/                     private libraries of the tools: the stand-in libovrafw.so and
#                                       the virtual sensor; never on the loader's default path, so the
#                                       board's own host framework libraries are left alone
#   share/bio_module/config/            the example configurations (desktop.ini, board.ini)
#   /etc/ovra/bio_module/board.ini      bio-host's configuration on the board (a conffile);
#                                       /var/lib/ovra/ for bio-host's database
#   share/doc/<package>/                each package's documentation, copyright and changelog
#   share/man/man1/, share/bash-completion/completions/   the tools' manuals and completion
#
# The packages take only the files installed in the components "pkg_module" and "pkg_tools" below, whatever
# other install rules the pieces declare for `cmake --install`; both components are left out of a
# plain `cmake --install` (the tools' one writes to /etc), and only cpack installs them.

set(BIO_PKG_PLUGIN_DIR lib/ovra/plugins)
set(BIO_PKG_PRIVATE_DIR lib/bio_module)
set(BIO_PKG_DATA_DIR share/bio_module)
set(BIO_PKG_MAINTAINER "bio_module maintainers <bio-module@example.org>" CACHE STRING
    "Maintainer of the Debian packages, \"Name <address>\"; the last entry of debian/changelog names it too")
include(PackageDocs)

# The version of debian/changelog's latest entry is the project's.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog bio_changelog_head LIMIT_COUNT 1)
if(NOT bio_changelog_head MATCHES "^bio-module \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog's latest entry is not version ${PROJECT_VERSION}: ${bio_changelog_head}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog)
# What every package's documentation directory holds: the copyright notice and the changelog
# (gzip -9n, as Debian compresses it).
set(bio_pkg_doc_dir ${CMAKE_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${bio_pkg_doc_dir})
execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/debian/changelog
                OUTPUT_FILE ${bio_pkg_doc_dir}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
function(bio_package_common component package)
  install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${bio_pkg_doc_dir}/changelog.gz
          DESTINATION share/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

# ---- bio-module: the plug-in and its documentation
set(bio_module_docs configuration.md bus-messages.md debug-stream.md performance.md packaging.md)
set(bio_tools_docs tuning.md bio-stream-view.png bio-tune-report.png vsensor.md host-framework.md)
install(TARGETS bio_module LIBRARY DESTINATION ${BIO_PKG_PLUGIN_DIR} COMPONENT pkg_module EXCLUDE_FROM_ALL)
list(TRANSFORM bio_module_docs PREPEND ${PROJECT_SOURCE_DIR}/docs/ OUTPUT_VARIABLE sources)
list(TRANSFORM bio_tools_docs PREPEND bio-module-tools: OUTPUT_VARIABLE elsewhere)
bio_package_docs(OUTPUT_DIR ${bio_pkg_doc_dir}/bio-module FILES ${sources} ELSEWHERE ${elsewhere})
list(TRANSFORM bio_module_docs PREPEND ${bio_pkg_doc_dir}/bio-module/ OUTPUT_VARIABLE built)
install(FILES ${built} DESTINATION share/doc/bio-module COMPONENT pkg_module EXCLUDE_FROM_ALL)
bio_package_common(pkg_module bio-module)

# ---- bio-module-tools: the desktop and debugging tools with their stand-ins
if(BIO_BUILD_TOOLS)
  install(TARGETS ovrafw vsensor LIBRARY DESTINATION ${BIO_PKG_PRIVATE_DIR} COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  foreach(tool bio-host bio-stream bio-tune)
    # The tools find the stand-in framework in the private directory, relative to where they are.
    set_property(TARGET ${tool} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/../${BIO_PKG_PRIVATE_DIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION bin COMPONENT pkg_tools EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_BINARY_DIR}/man/${tool}.1.gz DESTINATION share/man/man1 COMPONENT pkg_tools
            EXCLUDE_FROM_ALL)
    install(FILES ${CMAKE_BINARY_DIR}/completion/bio-tools.bash DESTINATION share/bash-completion/completions
            RENAME ${tool} COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/config/desktop.ini ${PROJECT_SOURCE_DIR}/config/board.ini
          DESTINATION ${BIO_PKG_DATA_DIR}/config COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/config/scenarios/demo.txt DESTINATION ${BIO_PKG_DATA_DIR}/scenarios
          COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  # bio-host's configuration on the board, a conffile: dpkg keeps local edits on upgrade. Its
  # database lives in /var/lib/ovra, which the package creates and its postrm empties on purge.
  install(FILES ${PROJECT_SOURCE_DIR}/config/board.ini DESTINATION /etc/ovra/bio_module COMPONENT pkg_tools
          EXCLUDE_FROM_ALL)
  file(WRITE ${CMAKE_BINARY_DIR}/cpack-control/conffiles "/etc/ovra/bio_module/board.ini\n")
  configure_file(${PROJECT_SOURCE_DIR}/debian/bio-module-tools.postrm ${CMAKE_BINARY_DIR}/cpack-control/postrm
                 COPYONLY)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty)
  install(DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty/ DESTINATION /var/lib/ovra COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  list(TRANSFORM bio_tools_docs PREPEND ${PROJECT_SOURCE_DIR}/docs/ OUTPUT_VARIABLE sources)
  list(TRANSFORM bio_module_docs PREPEND bio-module: OUTPUT_VARIABLE depended)
  bio_package_docs(OUTPUT_DIR ${bio_pkg_doc_dir}/bio-module-tools FILES ${sources} DEPENDS_ON ${depended})
  list(TRANSFORM bio_tools_docs PREPEND ${bio_pkg_doc_dir}/bio-module-tools/ OUTPUT_VARIABLE built)
  install(FILES ${built} DESTINATION share/doc/bio-module-tools COMPONENT pkg_tools EXCLUDE_FROM_ALL)
  bio_package_common(pkg_tools bio-module-tools)
endif()

# Debian architecture of the build's target.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(BIO_PKG_ARCH armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE BIO_PKG_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE dpkg_result)
  if(NOT dpkg_result EQUAL 0)
    set(BIO_PKG_ARCH amd64)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bio-module)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "bio_module developers")
set(CPACK_PACKAGE_CONTACT "${BIO_PKG_MAINTAINER}")
# Each package's description is its own, synopsis first: no summary shared by both.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bio_module built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
# One package per component, from the components above only.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL pkg_module)
if(BIO_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL pkg_tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BIO_PKG_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE bio-module)
# Maintainer scripts 0755, conffiles 0644, as dpkg and lintian expect.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# dpkg-shlibdeps cannot read libraries of a foreign architecture that dpkg does not know, so the
# run-time dependencies are stated here: Debian 12's versions of what the binaries are linked with.
# The plug-in's host framework is the board's own closed libraries, not a Debian package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(bio_pkg_base_depends "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12), libpng16-16 (>= 1.6.39), \
zlib1g (>= 1:1.2.13)")

# Extended descriptions: lines of at most 80 columns (CPack adds the leading space).
set(CPACK_DEBIAN_PKG_MODULE_PACKAGE_NAME bio-module)
set(CPACK_DEBIAN_PKG_MODULE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PKG_MODULE_DESCRIPTION
    "fingerprint reader plug-in for the ovra access-control host
The plug-in turns the terminal's optical fingerprint reader (a V4L2 camera
sensor) into finger events and corrected 260-pixel-wide grey finger images on
the host framework's message bus. It is loaded by the host framework from
/usr/lib/ovra/plugins and configured through the framework's store.")
set(CPACK_DEBIAN_PKG_MODULE_PACKAGE_DEPENDS "${bio_pkg_base_depends}")

set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_NAME bio-module-tools)
set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PKG_TOOLS_DESCRIPTION
    "desktop and debugging tools for the bio_module fingerprint plug-in
bio-host runs the plug-in inside a stand-in of the host framework, on the
board's reader or over a virtual sensor; bio-stream receives the plug-in's UDP
debug stream and shows it live in a browser; bio-tune suggests the finger
detector's threshold from recordings. With their private stand-in host
library, the virtual sensor and example configurations.")
set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_DEPENDS
    "bio-module (= ${PROJECT_VERSION}), ${bio_pkg_base_depends}, libsqlite3-0 (>= 3.40.1), libuuid1 (>= 2.38.1)")
set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_CONTROL_EXTRA
    "${CMAKE_BINARY_DIR}/cpack-control/conffiles;${CMAKE_BINARY_DIR}/cpack-control/postrm")

include(CPack)
