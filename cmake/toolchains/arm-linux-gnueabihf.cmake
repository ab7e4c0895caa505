# 32-bit ARM Linux, hard-float (armhf): Debian's arm-linux-gnueabihf cross compilers, tests
# under qemu-arm. long and time_t are 32-bit here and pointers are 4 bytes.
set(GRAVEL_CROSS_TRIPLET arm-linux-gnueabihf)
set(GRAVEL_CROSS_PROCESSOR arm)
set(GRAVEL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/gravel-cross.cmake)
# What readelf -h reports for the libraries (tests/check_elf.sh).
set(GRAVEL_CROSS_ELF ELF32 ARM "hard-float ABI")
