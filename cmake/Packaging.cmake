# Debian package of the module and its tools (cpack -G DEB; scripts/package builds it for armhf).
#
# Layout under /usr (docs/packaging.md explains the choices):
#   lib/ovra/plugins/libbio_module.so   the plug-in, where the host framework loads plug-ins from
#   bin/bio-host, bin/bio-stream        the tools
#   lib/bio_module/                     private libraries of the tools: the stand-in libovrafw.so and
#                                       the virtual sensor; never on the loader's default path, so the
#                                       board's own host framework libraries are left alone
#   share/bio_module/config/            the example configurations (desktop.ini, board.ini)
#   /etc/ovra/bio_module/board.ini      the board's configuration (a conffile); /var/lib/ovra/ for
#                                       bio-host's database
#   share/doc/bio-module/               README and docs
#
# The package takes only the files installed in the component "deb" below, whatever other install
# rules the pieces declare for `cmake --install`; that component is left out of a plain
# `cmake --install` (it writes to /etc), and only cpack installs it.

set(BIO_PKG_NAME bio-module)
set(BIO_PKG_PLUGIN_DIR lib/ovra/plugins)
set(BIO_PKG_PRIVATE_DIR lib/bio_module)
set(BIO_PKG_DATA_DIR share/bio_module)
set(BIO_PKG_DOC_DIR share/doc/${BIO_PKG_NAME})

if(TARGET bio_module)
  install(TARGETS bio_module LIBRARY DESTINATION ${BIO_PKG_PLUGIN_DIR} COMPONENT deb EXCLUDE_FROM_ALL)
endif()
if(TARGET ovrafw)
  install(TARGETS ovrafw LIBRARY DESTINATION ${BIO_PKG_PRIVATE_DIR} COMPONENT deb EXCLUDE_FROM_ALL)
endif()
if(TARGET vsensor)
  install(TARGETS vsensor LIBRARY DESTINATION ${BIO_PKG_PRIVATE_DIR} COMPONENT deb EXCLUDE_FROM_ALL)
endif()
foreach(tool bio-host bio-stream)
  if(TARGET ${tool})
    # The tools find the stand-in framework in the private directory, relative to where they are.
    set_property(TARGET ${tool} APPEND PROPERTY INSTALL_RPATH "$ORIGIN/../${BIO_PKG_PRIVATE_DIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION bin COMPONENT deb EXCLUDE_FROM_ALL)
  endif()
endforeach()
foreach(ini desktop.ini board.ini)
  if(EXISTS ${PROJECT_SOURCE_DIR}/config/${ini})
    install(FILES ${PROJECT_SOURCE_DIR}/config/${ini} DESTINATION ${BIO_PKG_DATA_DIR}/config
            COMPONENT deb EXCLUDE_FROM_ALL)
  endif()
endforeach()
# The board's live configuration, a conffile: dpkg keeps local edits on upgrade. bio-host's database
# lives in /var/lib/ovra, which the package creates.
if(EXISTS ${PROJECT_SOURCE_DIR}/config/board.ini)
  install(FILES ${PROJECT_SOURCE_DIR}/config/board.ini DESTINATION /etc/ovra/bio_module
          COMPONENT deb EXCLUDE_FROM_ALL)
  file(WRITE ${CMAKE_BINARY_DIR}/cpack-control/conffiles "/etc/ovra/bio_module/board.ini\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack-control/conffiles)
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty)
install(DIRECTORY ${CMAKE_BINARY_DIR}/cpack-empty/ DESTINATION /var/lib/ovra COMPONENT deb EXCLUDE_FROM_ALL)
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${BIO_PKG_DOC_DIR} COMPONENT deb EXCLUDE_FROM_ALL)
endif()
if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${BIO_PKG_DOC_DIR} COMPONENT deb EXCLUDE_FROM_ALL
          FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.svg")
endif()

# Debian architecture of the build's target.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(BIO_PKG_ARCH armhf)
else()
  find_program(BIO_DPKG dpkg)
  if(BIO_DPKG)
    execute_process(COMMAND ${BIO_DPKG} --print-architecture OUTPUT_VARIABLE BIO_PKG_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  else()
    set(BIO_PKG_ARCH amd64)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BIO_PKG_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "bio_module developers")
set(CPACK_PACKAGE_CONTACT "bio_module developers <bio-module@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "The plug-in turns the terminal's optical fingerprint reader (a V4L2 camera sensor) into finger\n\
events and corrected 260-pixel-wide grey finger images on the host's message bus. The package also\n\
holds bio-host, which runs the plug-in inside a stand-in of the host framework, bio-stream, the\n\
receiver of the plug-in's UDP debug stream, and example configurations.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
# Only the files of the component above, in one package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};deb;/")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME ${BIO_PKG_NAME})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BIO_PKG_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps cannot read libraries of a foreign architecture that dpkg does not know, so the
# run-time dependencies are stated here: Debian 12's versions of what the binaries are linked with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libgcc-s1 (>= 3.5), libstdc++6 (>= 12), libpng16-16 (>= 1.6.39), \
libsqlite3-0 (>= 3.40.1), libuuid1 (>= 2.38.1), zlib1g (>= 1:1.2.13)")

include(CPack)
