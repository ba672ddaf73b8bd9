# Manual pages and bash completion of the tools. Manual pages, section 1: each from its scdoc source beside the tool's code
# (tools/<tool>/<tool>.1.scd), compressed as Debian installs them, into build/man/.
find_program(BIO_SCDOC scdoc REQUIRED)
find_program(BIO_GZIP gzip REQUIRED)
set(BIO_MANUALS "")
foreach(tool bio-host bio-stream bio-tune)
  set(source ${PROJECT_SOURCE_DIR}/tools/${tool}/${tool}.1.scd)
  set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${BIO_SCDOC} ${source} ${page}
    COMMAND ${BIO_GZIP} -9nf ${page}
    DEPENDS ${source}
    COMMENT "Manual page ${tool}(1)"
    VERBATIM)
  list(APPEND BIO_MANUALS ${page}.gz)
endforeach()
add_custom_target(manuals ALL DEPENDS ${BIO_MANUALS})

# Bash completion of the three tools, one script installed under each command's name; the
# configuration keys it offers for --set are the table's (cmake/ConfigKeys.cmake).
get_property(bio_keys GLOBAL PROPERTY BIO_CONFIG_KEY_NAMES)
list(TRANSFORM bio_keys REPLACE "^bio_module\\." "")
list(JOIN bio_keys " " BIO_COMPLETION_KEYS)
configure_file(${PROJECT_SOURCE_DIR}/tools/completion/bio-tools.bash.in ${CMAKE_BINARY_DIR}/completion/bio-tools.bash
               @ONLY)
