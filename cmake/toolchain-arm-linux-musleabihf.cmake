# Cross build for arm-linux-musleabihf, 32-bit ARM routers' musl, with
# Debian's multiarch musl-dev:armhf (after dpkg --add-architecture armhf). Its
# wrapper arm-linux-musleabihf-gcc runs Debian's cross arm-linux-gnueabihf-gcc
# with musl's headers, start files and libc in place of glibc's; the C++
# compiler proper that this gcc runs for C++ files comes with
# g++-arm-linux-gnueabihf. The binary runs here under qemu-arm, needing only
# /lib/ld-musl-armhf.so.1, which musl:armhf installs (or nothing, with
# CRED_STOW_STATIC).
#
# The cross libstdc++ is built for glibc, so, as with
# toolchain-x86_64-linux-musl.cmake, none of it may be used: its headers stay
# out (-nostdinc++, which the wrapper's -nostdinc implies), and the gcc
# driver, which compiles C++ as g++ does, links no libstdc++ and, through the
# wrapper, only the static libgcc. The cross g++ driver would link libstdc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_CXX_COMPILER arm-linux-musleabihf-gcc -nostdinc++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
# The wrapper brings no binutils, and CMake would take the host's, whose strip
# cannot read the target's files: the target's are those the cross g++ brings.
set(CMAKE_AR arm-linux-gnueabihf-ar)
set(CMAKE_RANLIB arm-linux-gnueabihf-ranlib)
set(CMAKE_STRIP arm-linux-gnueabihf-strip)
