# The device: 32-bit little-endian MIPS, Linux with glibc.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(FWVET_TRIPLE mipsel-linux-gnu)
set(FWVET_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
