# Cross build for mipsel-linux-musl, little-endian MIPS routers' musl, with
# Debian's multiarch musl-dev:mipsel (after dpkg --add-architecture mipsel).
# Its wrapper mipsel-linux-musl-gcc runs Debian's cross mipsel-linux-gnu-gcc
# with musl's headers, start files and libc in place of glibc's; the C++
# compiler proper that this gcc runs for C++ files comes with
# g++-mipsel-linux-gnu. The binary runs here under qemu-mipsel, needing only
# /lib/ld-musl-mipsel.so.1, which musl:mipsel installs (or nothing, with
# CRED_STOW_STATIC).
#
# As in toolchain-arm-linux-musleabihf.cmake, no part of the cross libstdc++,
# built for glibc, is used: -nostdinc++ and the gcc driver.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_CXX_COMPILER mipsel-linux-musl-gcc -nostdinc++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
# The wrapper brings no binutils, and CMake would take the host's, whose strip
# cannot read the target's files: the target's are those the cross g++ brings.
set(CMAKE_AR mipsel-linux-gnu-ar)
set(CMAKE_RANLIB mipsel-linux-gnu-ranlib)
set(CMAKE_STRIP mipsel-linux-gnu-strip)
