# Hardening of every binary, with what Debian's build flags give for bookworm (dpkg-buildflags
# with hardening=+all): a stack protector, fortified libc calls in optimised builds, format-string
# checks, full RELRO with immediate binding, position-independent executables.
# scripts/check-hardening reads the installed files and fails on one that lacks any of them.
include(CheckPIESupported)
check_pie_supported()
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# glibc's fortified calls need the optimiser (without it glibc warns, and warnings are errors).
add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro,-z,now)
