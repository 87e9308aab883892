# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu) and the arm64 multiarch packages
# (libusb-1.0-0-dev:arm64, libgtest-dev:arm64, libgmock-dev:arm64; nlohmann
# json and CLI11 are header-only and come from the host's /usr/include).
#
#   cmake -S . -B build/arm64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
#
# Test programs run under QEMU user-mode emulation through
# aarch64-qemu-run.sh (CMAKE_CROSSCOMPILING_EMULATOR), so ctest works as in a
# native build. They run against the multiarch C library in
# /usr/lib/aarch64-linux-gnu, never against the cross toolchain's own copy
# under /usr/aarch64-linux-gnu: threaded programs hang with the latter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MORVANE_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MORVANE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MORVANE_CROSS_TRIPLE}-g++)
set(CMAKE_AR ${MORVANE_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${MORVANE_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${MORVANE_CROSS_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_NM ${MORVANE_CROSS_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_OBJCOPY ${MORVANE_CROSS_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${MORVANE_CROSS_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_READELF ${MORVANE_CROSS_TRIPLE}-readelf CACHE FILEPATH "")

# Debian multiarch: libraries and package files of the target live in
# /usr/lib/aarch64-linux-gnu; CMake searches <prefix>/lib/<arch> for this
# architecture only, so the host's x86-64 libraries are never picked up.
set(CMAKE_LIBRARY_ARCHITECTURE ${MORVANE_CROSS_TRIPLE})
set(MORVANE_MULTIARCH_LIBDIR /usr/lib/${MORVANE_CROSS_TRIPLE})

# pkg-config must see the arm64 .pc files and the architecture-independent
# ones, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${MORVANE_MULTIARCH_LIBDIR}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Shared libraries needed by shared libraries (libusb needs libudev) are
# resolved from the multiarch directory at link time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${MORVANE_MULTIARCH_LIBDIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${MORVANE_MULTIARCH_LIBDIR}")

# Programs are found on the host; libraries, headers and packages for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Runs the arm64 test programs (ctest, gtest_discover_tests and the like).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/aarch64-qemu-run.sh)
