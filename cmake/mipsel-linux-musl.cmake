# The device with musl instead of glibc: Debian's cross compiler for mipsel
# with musl's headers, start files and libraries (musl-dev:mipsel), through
# the gcc driver file that package ships; linked statically. The tool
# includes only C headers and uses nothing of the C++ runtime, so no C++
# library for musl is needed. Static, it runs under qemu-mipsel with no
# library path.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(FWVET_TRIPLE mipsel-linux-gnu)
set(musl /usr/lib/mipsel-linux-musl)
# The one musl-gcc.* file there: what the musl-gcc wrapper hands to gcc.
file(GLOB driver ${musl}/musl-gcc.*)
if(NOT driver)
  message(FATAL_ERROR "no musl driver file for gcc in ${musl}: apt-get install musl-dev:mipsel")
endif()
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
# gcc takes such a file with the option its extension names.
get_filename_component(option ${driver} LAST_EXT)
string(SUBSTRING ${option} 1 -1 option)
set(CMAKE_C_FLAGS_INIT "-${option}=${driver}")
set(CMAKE_CXX_FLAGS_INIT "-${option}=${driver}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_STRIP mipsel-linux-gnu-strip CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH ${musl})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel)
