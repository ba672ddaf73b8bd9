# Shared build helpers: warnings and test registration.

# Warnings every target of ours compiles with.
function(bio_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
    -Woverloaded-virtual -Wnull-dereference -Wdouble-promotion -Wformat=2
    -Wimplicit-fallthrough -Wmisleading-indentation -Wmissing-declarations)
  # GCC's own (clang, which builds the fuzz targets, does not know them).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wduplicated-cond -Wlogical-op)
  endif()
  if(BIO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# The command prefix that runs a target-architecture executable on the build machine, as one
# space-separated string for an environment variable: empty natively, "qemu-arm -L ... -E ..." in
# the armhf cross build. A test driver that starts our executables itself (CTest only prefixes the
# test's own command) puts this in front of them.
set(BIO_TEST_EMULATOR "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " BIO_TEST_EMULATOR)
endif()

# bio_add_gtest(NAME <name> SOURCES <files...> [LIBS <targets...>] [ENVIRONMENT <VAR=value...>]
#               [TIMEOUT <seconds>] [LABELS <labels...>])
# One executable; each test case is its own CTest test (and so its own process), which
# keeps module-wide state of one case away from the next.
function(bio_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  bio_warnings(${T_NAME})
  # GCC 12 at -O3 reports potential null dereferences inside the JSON library's and libstdc++'s
  # inlined templates that the tests instantiate; the product's own code keeps the warning.
  target_compile_options(${T_NAME} PRIVATE -Wno-null-dereference)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  set(env ${T_ENVIRONMENT})
  if(CMAKE_CROSSCOMPILING)
    # Under qemu-user a preload must be handed to the emulated program, not to qemu itself.
    list(TRANSFORM env REPLACE "^LD_PRELOAD=" "QEMU_SET_ENV=LD_PRELOAD=")
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    EXTRA_ARGS --gtest_death_test_style=fast
    PROPERTIES ${props} ENVIRONMENT "${env}")
endfunction()
