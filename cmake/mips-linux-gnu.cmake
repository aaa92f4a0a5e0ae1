# 32-bit big-endian MIPS: proof that nothing depends on the host's byte order.
set(CMAKE_SYSTEM_PROCESSOR mips)
set(FWVET_TRIPLE mips-linux-gnu)
set(FWVET_QEMU qemu-mips)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
