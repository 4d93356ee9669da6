# Build for x86-64 Linux with musl, the C library of most small routers,
# instead of glibc: Debian's musl-gcc (package musl-tools), which runs the
# system's GCC with musl's headers, start files and libc in place of glibc's.
# The command then runs natively on the PC, needing only
# /lib/ld-musl-x86_64.so.1 (or nothing, with CRED_STOW_STATIC), so the native
# tests can run it. This is for testing on a PC; a device's SDK passes its own
# toolchain file.
#
# The C++ standard library here is built for glibc, so none of it may be
# used: its headers stay out (-nostdinc++, which musl-gcc's -nostdinc
# implies), and the gcc driver, which compiles C++ as g++ does, links no
# libstdc++ and, through musl-gcc, only the static libgcc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER musl-gcc -nostdinc++)
