# Cross build for the board (ARMv7-A, 32-bit hard-float) with Debian's arm-linux-gnueabihf toolchain.
#
# Libraries come from the sysroot scripts/make-armhf-sysroot unpacks (default build/armhf-sysroot in
# the source tree, or BIO_ARMHF_SYSROOT in the cache or the environment); the C library and libstdc++
# come from the cross toolchain's own tree /usr/arm-linux-gnueabihf. Executables built here run under
# qemu-arm: CTest and gtest_discover_tests use CMAKE_CROSSCOMPILING_EMULATOR.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(BIO_ARMHF_TRIPLET arm-linux-gnueabihf)
set(BIO_ARMHF_TOOLCHAIN_ROOT /usr/${BIO_ARMHF_TRIPLET})

if(NOT BIO_ARMHF_SYSROOT)
  if(DEFINED ENV{BIO_ARMHF_SYSROOT} AND NOT "$ENV{BIO_ARMHF_SYSROOT}" STREQUAL "")
    set(BIO_ARMHF_SYSROOT "$ENV{BIO_ARMHF_SYSROOT}")
  else()
    get_filename_component(BIO_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-sysroot" ABSOLUTE)
  endif()
endif()
set(BIO_ARMHF_SYSROOT "${BIO_ARMHF_SYSROOT}" CACHE PATH "armhf sysroot made by scripts/make-armhf-sysroot")
if(NOT EXISTS "${BIO_ARMHF_SYSROOT}/.bio-sysroot-stamp")
  message(FATAL_ERROR "No armhf sysroot at ${BIO_ARMHF_SYSROOT}: run scripts/setup-deps --armhf")
endif()
# try_compile projects see the same toolchain file: hand them the sysroot too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BIO_ARMHF_SYSROOT)

set(CMAKE_C_COMPILER ${BIO_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BIO_ARMHF_TRIPLET}-g++)
# The compiler's defaults are Debian's armhf baseline, the board's: ARMv7-A, Thumb-2, VFPv3-D16,
# hard-float calling convention.

# Multiarch layout of the unpacked Debian packages: lib/<triplet>, include, lib/<triplet>/cmake.
set(CMAKE_LIBRARY_ARCHITECTURE ${BIO_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH "${BIO_ARMHF_SYSROOT}" "${BIO_ARMHF_TOOLCHAIN_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler is not given --sysroot (its C library lives elsewhere), so the sysroot's headers are
# searched as system headers after everything else, as /usr/include is natively.
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES "${BIO_ARMHF_SYSROOT}/usr/include")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${BIO_ARMHF_SYSROOT}/usr/include")

set(BIO_ARMHF_LIB_DIRS
    "${BIO_ARMHF_SYSROOT}/lib/${BIO_ARMHF_TRIPLET}"
    "${BIO_ARMHF_SYSROOT}/usr/lib/${BIO_ARMHF_TRIPLET}")
set(bio_rpath_link "")
foreach(dir IN LISTS BIO_ARMHF_LIB_DIRS)
  string(APPEND bio_rpath_link " -Wl,-rpath-link,${dir}")
endforeach()
# The linker resolves the libraries' own dependencies (libpng16 -> libz) in the sysroot.
set(CMAKE_EXE_LINKER_FLAGS_INIT "${bio_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${bio_rpath_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${bio_rpath_link}")
unset(bio_rpath_link)

# qemu-arm finds the ARM dynamic loader and libc under -L; the sysroot's libraries via LD_LIBRARY_PATH
# in the guest (-E sets it for the emulated program only, not for qemu itself).
find_program(BIO_QEMU_ARM qemu-arm)
if(NOT BIO_QEMU_ARM)
  set(BIO_QEMU_ARM qemu-arm)
endif()
list(JOIN BIO_ARMHF_LIB_DIRS ":" bio_ld_path)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${BIO_QEMU_ARM};-L;${BIO_ARMHF_TOOLCHAIN_ROOT};-E;LD_LIBRARY_PATH=${bio_ld_path}")
unset(bio_ld_path)
