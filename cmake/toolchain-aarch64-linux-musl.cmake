# Cross build for aarch64-linux-musl, 64-bit ARM routers' musl, with Debian's
# multiarch musl-dev:arm64 (after dpkg --add-architecture arm64). Its wrapper
# aarch64-linux-musl-gcc runs Debian's cross aarch64-linux-gnu-gcc with musl's
# headers, start files and libc in place of glibc's; the C++ compiler proper
# that this gcc runs for C++ files comes with g++-aarch64-linux-gnu. The
# binary runs here under qemu-aarch64, needing only /lib/ld-musl-aarch64.so.1,
# which musl:arm64 installs (or nothing, with CRED_STOW_STATIC).
#
# As in toolchain-arm-linux-musleabihf.cmake, no part of the cross libstdc++,
# built for glibc, is used: -nostdinc++ and the gcc driver.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-musl-gcc -nostdinc++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# The wrapper brings no binutils, and CMake would take the host's, whose strip
# cannot read the target's files: the target's are those the cross g++ brings.
set(CMAKE_AR aarch64-linux-gnu-ar)
set(CMAKE_RANLIB aarch64-linux-gnu-ranlib)
set(CMAKE_STRIP aarch64-linux-gnu-strip)
