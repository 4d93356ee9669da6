# Build for x86-64 Linux with musl, the C library of most small routers,
# instead of glibc: the system's GCC with Debian's musl-dev. The command then
# runs natively on the PC, needing only /lib/ld-musl-x86_64.so.1 (or nothing,
# with CRED_STOW_STATIC), so the native tests can run it. This is for testing
# on a PC; a device's SDK passes its own toolchain file.
#
# Debian's musl-gcc driver file swaps glibc's headers, start files and libc
# for musl's. The C++ standard library here is built for glibc, so none of it
# may be used: its headers stay out (-nostdinc++, which that file's -nostdinc
# implies), and the gcc driver, which compiles C++ as g++ does, links no
# libstdc++ and, with that file, only the static libgcc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-gcc
    -specs=/usr/lib/x86_64-linux-musl/musl-gcc.specs -nostdinc++)
