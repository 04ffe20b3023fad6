# Cross build for the box's 32-bit ARM CPU (armhf) with Debian's cross
# compilers and the project-local armhf sysroot (scripts/setup-arm.sh makes
# both ready):
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# The programs run on this machine through qemu-arm with the sysroot as its
# prefix; during the ARM job a binfmt_misc entry (scripts/arm-binfmt.sh)
# lets the tests spawn them like host programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(XKT_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-deps/armhf-sysroot" CACHE PATH
  "armhf libraries and headers (OpenSSL, GoogleTest) unpacked by scripts/setup-arm.sh")
get_filename_component(XKT_ARMHF_SYSROOT "${XKT_ARMHF_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${XKT_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
  message(FATAL_ERROR "No armhf sysroot in ${XKT_ARMHF_SYSROOT}: run scripts/setup-arm.sh")
endif()
set(_xkt_multiarch "${XKT_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")

# The cross compiler brings its own C and C++ run-time under
# /usr/arm-linux-gnueabihf; OpenSSL and GoogleTest come from the sysroot,
# whose headers sit in Debian's multiarch layout. Never search for programs
# there: they must stay host ones.
set(CMAKE_FIND_ROOT_PATH "${XKT_ARMHF_SYSROOT}" /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_C_FLAGS_INIT "-isystem ${XKT_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${XKT_ARMHF_SYSROOT}/usr/include/arm-linux-gnueabihf")
# Libraries the linked ones need in turn (libssl's libcrypto) are looked up
# in the sysroot too.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_xkt_multiarch}")
endforeach()

# FindOpenSSL asks pkg-config first: it must read the sysroot's .pc files,
# not the host's, whose library directory would win over the search above.
set(ENV{PKG_CONFIG_LIBDIR} "${_xkt_multiarch}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${XKT_ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

# gtest_discover_tests runs each test binary to list its tests.
find_program(XKT_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${XKT_QEMU_ARM};-L;${XKT_ARMHF_SYSROOT}")
