# Shared part of the kit's cross toolchain files: Debian's cross compilers for one target
# triplet, qemu-user as the emulator that runs the target's test binaries (ctest and
# gtest_discover_tests go through CMAKE_CROSSCOMPILING_EMULATOR), and pkg-config limited to
# the target's .pc files. The including file sets GRAVEL_CROSS_TRIPLET,
# GRAVEL_CROSS_PROCESSOR and GRAVEL_CROSS_QEMU. scripts/bootstrap.sh --cross installs what this
# needs.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GRAVEL_CROSS_PROCESSOR})
find_program(GRAVEL_CROSS_CXX ${GRAVEL_CROSS_TRIPLET}-g++)
if(NOT GRAVEL_CROSS_CXX)
  message(FATAL_ERROR "${GRAVEL_CROSS_TRIPLET}-g++ not found: run scripts/bootstrap.sh --cross")
endif()
set(CMAKE_C_COMPILER ${GRAVEL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GRAVEL_CROSS_TRIPLET}-g++)
# find_package/find_library look in /usr/lib/<triplet>, where Debian multiarch puts the
# target's libraries and CMake packages (GTest).
set(CMAKE_LIBRARY_ARCHITECTURE ${GRAVEL_CROSS_TRIPLET})

# -dev packages that are not co-installable across architectures are unpacked here by the
# bootstrap (headers, .pc files, link-time symlinks).
if(DEFINED ENV{GRAVEL_CROSS_ROOT})
  set(GRAVEL_CROSS_STAGE $ENV{GRAVEL_CROSS_ROOT}/${GRAVEL_CROSS_TRIPLET})
else()
  set(GRAVEL_CROSS_STAGE /opt/gravel-cross/${GRAVEL_CROSS_TRIPLET})
endif()

# Only the target's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR}
    "${GRAVEL_CROSS_STAGE}/usr/lib/${GRAVEL_CROSS_TRIPLET}/pkgconfig:/usr/lib/${GRAVEL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
# Recorded for the tests that call pkg-config themselves (the install consumer test).
set(GRAVEL_CROSS_PKG_CONFIG_LIBDIR "$ENV{PKG_CONFIG_LIBDIR}")

# Under qemu the target's programs use the target's own Debian runtime, as on a node: the
# loader /lib/ld-linux-*.so.*, libc6, libstdc++6 and the libraries, all installed through
# multiarch in /lib/<triplet> and /usr/lib/<triplet>. "-L /" keeps it so whatever
# QEMU_LD_PREFIX says. Not "-L /usr/<triplet>": the loader there (the cross compilers' libc)
# is another build than multiarch's libc.so.6, which the loader would still pick up, and the
# pair crashes in pthread_create.
find_program(GRAVEL_CROSS_QEMU_PROGRAM ${GRAVEL_CROSS_QEMU})
if(NOT GRAVEL_CROSS_QEMU_PROGRAM)
  message(FATAL_ERROR "${GRAVEL_CROSS_QEMU} not found: run scripts/bootstrap.sh --cross")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${GRAVEL_CROSS_QEMU_PROGRAM} -L /)
