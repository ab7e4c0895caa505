# 64-bit ARM Linux (arm64): Debian's aarch64-linux-gnu cross compilers, tests under qemu-aarch64.
set(GRAVEL_CROSS_TRIPLET aarch64-linux-gnu)
set(GRAVEL_CROSS_PROCESSOR aarch64)
set(GRAVEL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/gravel-cross.cmake)
# What readelf -h reports for the libraries (tests/check_elf.sh).
set(GRAVEL_CROSS_ELF ELF64 AArch64)
