# Cross build for the box's 32-bit ARM CPU (armhf) with Debian's cross
# compilers and multiarch libraries (scripts/setup-arm.sh installs them):
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# The programs run on this machine through qemu-arm, registered with
# binfmt_misc, so the tests can spawn them like host programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# armhf libraries and headers live beside the host's in the multiarch
# directories of /usr, and the cross toolchain's own files under
# /usr/arm-linux-gnueabihf: search both for libraries, headers and packages
# (OpenSSL, GTest), never for programs, which must stay host ones.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindOpenSSL asks pkg-config first: it must read the armhf .pc files, not
# the host's, whose library directory would win over the search above.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# gtest_discover_tests runs each test binary to list its tests.
find_program(XKT_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${XKT_QEMU_ARM})
