# Cross build for a Linux/glibc target with Debian's cross compilers; the test
# programs run under qemu's user-mode emulation with the target's libraries.
# Set FWVET_TRIPLE (mipsel-linux-gnu, say) and FWVET_QEMU before including.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${FWVET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${FWVET_TRIPLE}-g++)
set(CMAKE_STRIP ${FWVET_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_SIZE ${FWVET_TRIPLE}-size CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${FWVET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${FWVET_QEMU} -L /usr/${FWVET_TRIPLE})
