#!/usr/bin/env bash
# vendor-build.sh ROUTE SOURCE WORK INIT E2E_TEST [GTEST_FILTER]: builds fwvet
# for the device as a firmware build system would, by ROUTE, in WORK, then
# runs the end-to-end tests against the binary that DESTDIR install put in
# WORK/dest/usr/bin. INIT is a cache file with the build's keys and identity.
#   toolchain: a toolchain file of the build system's own, its sysroot (a
#              staging tree of Debian's mipsel libsodium packages) and
#              pkg-config through it; CMAKE_STRIP empty, Unix Makefiles
#   staging:   no toolchain file, the staging tree, Ninja, CMAKE_STRIP ':'
#   source:    as staging, verification compiled from libsodium's unpacked
#              source tree (FWVET_SODIUM_SOURCE), no pkg-config
# The build systems' own switches: BUILD_TESTING=OFF, CMAKE_INSTALL_PREFIX
# /usr, their own flags for every build type.
set -euo pipefail
route=$1 source=$2 work=$3 init=$4 e2e=$5 filter=${6:-*Signed*:*CommandLine*}
rm -rf "$work"
mkdir -p "$work"
stage=$work/staging
"$source/scripts/fetch-debs" "$stage" libsodium23:mipsel libsodium-dev:mipsel
common=(-C "$init" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr)
pc=(PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_LIBDIR="$stage/usr/lib/mipsel-linux-gnu/pkgconfig")
case $route in
toolchain)
  cat > "$work/vendor.cmake" <<EOT
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_SYSROOT $stage)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_C_FLAGS "-pipe -fno-caller-saves" CACHE STRING "")
set(CMAKE_CXX_FLAGS "-pipe -fno-caller-saves" CACHE STRING "")
set(CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH $stage)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOT
  env "${pc[@]}" cmake -S "$source" -B "$work/build" "${common[@]}" -DCMAKE_TOOLCHAIN_FILE="$work/vendor.cmake" \
    -DCMAKE_STRIP=
  ;;
staging | source)
  args=(-G Ninja -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=mipsel -DCMAKE_C_COMPILER=mipsel-linux-gnu-gcc
        -DCMAKE_CXX_COMPILER=mipsel-linux-gnu-g++ -DCMAKE_FIND_ROOT_PATH="$stage" -DCMAKE_STRIP=:)
  if [ "$route" = source ]; then
    "$source/scripts/fetch-source" "$work/libsodium" libsodium "$(dpkg-query -W -f='${Version}' libsodium-dev)"
    args+=(-DFWVET_SODIUM_SOURCE="$work/libsodium")
    pc=(PKG_CONFIG_LIBDIR=/nonexistent)
  fi
  env "${pc[@]}" cmake -S "$source" -B "$work/build" "${common[@]}" "${args[@]}"
  ;;
*)
  echo "vendor-build.sh: no route $route" >&2
  exit 64
  ;;
esac
cmake --build "$work/build"
DESTDIR=$work/dest cmake --install "$work/build"
installed=$(cd "$work/dest" && find . -type f | sort)
[ "$installed" = ./usr/bin/fwvet ] || { echo "installed: $installed" >&2; exit 1; }
# The test program runs under the emulator that it runs the tools under.
# shellcheck disable=SC2086
FWVET_BIN=$work/dest/usr/bin/fwvet ${FWVET_EMULATOR:-} "$e2e" --gtest_filter="$filter"
