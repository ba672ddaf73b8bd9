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
#   share/doc/<package>/                each package's documentation
#
# The packages take only the files installed in the components "pkg_module" and "pkg_tools" below, whatever
# other install rules the pieces declare for `cmake --install`; both components are left out of a
# plain `cmake --install` (the tools' one writes to /etc), and only cpack installs them.

set(BIO_PKG_PLUGIN_DIR lib/ovra/plugins)
set(BIO_PKG_PRIVATE_DIR lib/bio_module)
set(BIO_PKG_DATA_DIR share/bio_module)

# ---- bio-module: the plug-in and its documentation
install(TARGETS bio_module LIBRARY DESTINATION ${BIO_PKG_PLUGIN_DIR} COMPONENT pkg_module EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/configuration.md ${PROJECT_SOURCE_DIR}/docs/bus-messages.md
              ${PROJECT_SOURCE_DIR}/docs/debug-stream.md ${PROJECT_SOURCE_DIR}/docs/tuning.md
              ${PROJECT_SOURCE_DIR}/docs/performance.md ${PROJECT_SOURCE_DIR}/docs/packaging.md
        DESTINATION share/doc/bio-module COMPONENT pkg_module EXCLUDE_FROM_ALL)

# ---- bio-module-tools: the desktop and debugging tools with their stand-ins
install(TARGETS ovrafw vsensor LIBRARY DESTINATION ${BIO_PKG_PRIVATE_DIR} COMPONENT pkg_tools EXCLUDE_FROM_ALL)
foreach(tool bio-host bio-stream bio-tune)
  # The tools find the stand-in framework in the private directory, relative to where they are.
  set_property(TARGET ${tool} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/../${BIO_PKG_PRIVATE_DIR}")
  install(TARGETS ${tool} RUNTIME DESTINATION bin COMPONENT pkg_tools EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/config/desktop.ini ${PROJECT_SOURCE_DIR}/config/board.ini
        DESTINATION ${BIO_PKG_DATA_DIR}/config COMPONENT pkg_tools EXCLUDE_FROM_ALL)
# bio-host's configuration on the board, a conffile: dpkg keeps local edits on upgrade. Its
# database lives in /var/lib/ovra, which the package creates.
install(FILES ${PROJECT_SOURCE_DIR}/config/board.ini DESTINATION /etc/ovra/bio_module COMPONENT pkg_tools
        EXCLUDE_FROM_ALL)
file(WRITE ${CMAKE_BINARY_DIR}/cpack-control/conffiles "/etc/ovra/bio_module/board.ini\n")
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty)
install(DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty/ DESTINATION /var/lib/ovra COMPONENT pkg_tools EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/vsensor.md
              ${PROJECT_SOURCE_DIR}/docs/host-framework.md
        DESTINATION share/doc/bio-module-tools COMPONENT pkg_tools EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/tools/bio-host/README.md DESTINATION share/doc/bio-module-tools
        RENAME bio-host.md COMPONENT pkg_tools EXCLUDE_FROM_ALL)

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
set(CPACK_PACKAGE_CONTACT "bio_module developers <bio-module@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
# One package per component, from the components above only.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL pkg_module pkg_tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BIO_PKG_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps cannot read libraries of a foreign architecture that dpkg does not know, so the
# run-time dependencies are stated here: Debian 12's versions of what the binaries are linked with.
# The plug-in's host framework is the board's own closed libraries, not a Debian package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(bio_pkg_base_depends "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12), libpng16-16 (>= 1.6.39), \
zlib1g (>= 1:1.2.13)")

set(CPACK_DEBIAN_PKG_MODULE_PACKAGE_NAME bio-module)
set(CPACK_COMPONENT_PKG_MODULE_DESCRIPTION
    "Fingerprint reader plug-in for the ovra access-control host\n\
The plug-in turns the terminal's optical fingerprint reader (a V4L2 camera sensor) into finger\n\
events and corrected 260-pixel-wide grey finger images on the host's message bus.")
set(CPACK_DEBIAN_PKG_MODULE_PACKAGE_DEPENDS "${bio_pkg_base_depends}")

set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_NAME bio-module-tools)
set(CPACK_COMPONENT_PKG_TOOLS_DESCRIPTION
    "Desktop and debugging tools for the bio_module fingerprint plug-in\n\
bio-host runs the plug-in inside a stand-in of the host framework, on the board's reader or over a\n\
virtual sensor; bio-stream receives the plug-in's UDP debug stream and shows it live in a browser;\n\
bio-tune suggests the detector's threshold from recordings. With their private stand-in\n\
host library, the virtual sensor and example configurations.")
set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_DEPENDS
    "bio-module (= ${PROJECT_VERSION}), ${bio_pkg_base_depends}, libsqlite3-0 (>= 3.40.1), libuuid1 (>= 2.38.1)")
set(CPACK_DEBIAN_PKG_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack-control/conffiles)

include(CPack)
