# Builds that require signed upgrade files: FWVET_TRUSTED_KEYS lists signify
# public keys (.pub files), compiled into fwvet; libsodium, linked statically,
# verifies. Defines the interface library fwvet_signing for fwvet and the
# fuzzing target; without keys it is empty and fwvet is built as ever.
add_library(fwvet_signing INTERFACE)
if(NOT FWVET_TRUSTED_KEYS)
  return()
endif()

# The key number (bytes 2 to 9 of the decoded key) in hexadecimal, from the
# first 16 base64 characters: 12 bytes.
function(signify_key_number b64 out)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(bits 0)
  set(count 0)
  set(hex "")
  foreach(k RANGE 15)
    string(SUBSTRING "${b64}" ${k} 1 c)
    string(FIND "${alphabet}" "${c}" v)
    math(EXPR bits "((${bits} << 6) | ${v}) & 0xFFFF")
    math(EXPR count "${count} + 6")
    if(count GREATER_EQUAL 8)
      math(EXPR count "${count} - 8")
      math(EXPR byte "(${bits} >> ${count}) & 0xFF" OUTPUT_FORMAT HEXADECIMAL)
      string(SUBSTRING "${byte}" 2 -1 byte)
      string(LENGTH "${byte}" n)
      if(n EQUAL 1)
        set(byte "0${byte}")
      endif()
      string(APPEND hex "${byte}")
    endif()
  endforeach()
  string(SUBSTRING "${hex}" 4 16 hex)
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

set(header "// Made by the build from FWVET_TRUSTED_KEYS: the base64 lines of\n// the trusted signify public keys.\n")
string(APPEND header "#ifndef FWVET_TRUSTED_KEYS_H\n#define FWVET_TRUSTED_KEYS_H\n\nconstexpr const char *kTrustedKeys[] = {\n")
# Relative paths are taken from the source tree's top, wherever cmake runs.
set(FWVET_TRUSTED_KEY_FILES "")
foreach(pub IN LISTS FWVET_TRUSTED_KEYS)
  get_filename_component(pub "${pub}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  list(APPEND FWVET_TRUSTED_KEY_FILES "${pub}")
  file(STRINGS "${pub}" lines)
  list(LENGTH lines count)
  if(NOT count EQUAL 2)
    message(FATAL_ERROR "${pub}: a public key file has two lines")
  endif()
  list(GET lines 0 comment)
  list(GET lines 1 key)
  # "Ed", the key number and the key: 42 bytes, 56 base64 characters.
  if(NOT comment MATCHES "^untrusted comment: " OR NOT key MATCHES "^RW[A-Za-z0-9+/]+$")
    message(FATAL_ERROR "${pub}: not a signify Ed25519 public key")
  endif()
  string(LENGTH "${key}" length)
  if(NOT length EQUAL 56)
    message(FATAL_ERROR "${pub}: not a signify Ed25519 public key")
  endif()
  signify_key_number("${key}" number)
  message(STATUS "fwvet trusts key ${number}: ${pub}")
  # No path in generated code: it may hold any byte.
  string(APPEND header "    \"${key}\",  // ${number}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pub}")
endforeach()
string(APPEND header "};\n\n#endif\n")
set(generated "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${generated}/trusted_keys.h" CONTENT "${header}")

# libsodium's signature verification, from one of:
# - FWVET_SODIUM_SOURCE, an unpacked libsodium source tree (a vendor's own
#   package's): the few files verification needs, at -Os with a section a
#   function, linked with --gc-sections. The smallest binary: a libsodium.a
#   built without sections brings whole objects along (the random number
#   generator, every hash, the 30 KB table that only signing uses).
# - with the project's own Debian toolchain files, the same from Debian's
#   source package of the target's libsodium-dev (scripts/fetch-source:
#   through apt, nothing installed), cached in FWVET_DEB_CACHE;
# - otherwise the target's libsodium as pkg-config finds it (a build
#   system's sysroot or staging tree, through PKG_CONFIG_SYSROOT_DIR and
#   PKG_CONFIG_LIBDIR): libsodium.a where there is one, else the shared
#   library, which the device must then carry.
set(FWVET_SODIUM_SOURCE "" CACHE PATH "An unpacked libsodium source tree to compile verification from")
if(FWVET_SODIUM_SOURCE STREQUAL "" AND FWVET_TRIPLE)
  execute_process(COMMAND apt-cache show --no-all-versions libsodium-dev
    OUTPUT_VARIABLE info RESULT_VARIABLE rc ERROR_QUIET)
  string(REGEX MATCH "\nVersion: ([^\n]*)" version "\n${info}")
  set(version "${CMAKE_MATCH_1}")
  set(src "${CMAKE_BINARY_DIR}/libsodium-src")
  if(NOT EXISTS "${src}/.fetched-${version}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env "FWVET_DEB_CACHE=${FWVET_DEB_CACHE}"
      "${CMAKE_SOURCE_DIR}/scripts/fetch-source" "${src}" libsodium "${version}" RESULT_VARIABLE rc)
    if(version STREQUAL "" OR NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot fetch libsodium's source package (version '${version}'): apt-get update, "
                          "and apt-get install dpkg-dev (for dpkg-source); or name an unpacked libsodium "
                          "source tree with -DFWVET_SODIUM_SOURCE=DIR")
    endif()
    file(TOUCH "${src}/.fetched-${version}")
  endif()
  set(sodium_source "${src}")
else()
  set(sodium_source "${FWVET_SODIUM_SOURCE}")
endif()

if(NOT sodium_source STREQUAL "")
  set(lib "${sodium_source}/src/libsodium")
  if(NOT EXISTS "${sodium_source}/configure.ac" OR NOT EXISTS "${lib}/include/sodium/version.h.in")
    message(FATAL_ERROR "FWVET_SODIUM_SOURCE: ${sodium_source} is no unpacked libsodium source tree")
  endif()
  # What configure would make of version.h.in, from configure.ac's values.
  file(READ "${sodium_source}/configure.ac" ac)
  string(REGEX MATCH "AC_INIT\\(\\[libsodium\\],\\[([0-9.]+)\\]" _ "${ac}")
  set(upstream "${CMAKE_MATCH_1}")
  string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MAJOR=([0-9]+)" _ "${ac}")
  set(major "${CMAKE_MATCH_1}")
  string(REGEX MATCH "SODIUM_LIBRARY_VERSION_MINOR=([0-9]+)" _ "${ac}")
  set(minor "${CMAKE_MATCH_1}")
  file(READ "${lib}/include/sodium/version.h.in" text)
  string(REPLACE "@VERSION@" "${upstream}" text "${text}")
  string(REPLACE "@SODIUM_LIBRARY_VERSION_MAJOR@" "${major}" text "${text}")
  string(REPLACE "@SODIUM_LIBRARY_VERSION_MINOR@" "${minor}" text "${text}")
  string(REPLACE "@SODIUM_LIBRARY_MINIMAL_DEF@" "" text "${text}")
  file(CONFIGURE OUTPUT "${generated}/sodium/version.h" CONTENT "${text}" @ONLY)
  add_library(fwvet_sodium STATIC
    ${lib}/crypto_sign/ed25519/ref10/open.c ${lib}/crypto_sign/ed25519/ref10/sign.c
    ${lib}/crypto_core/ed25519/ref10/ed25519_ref10.c ${lib}/crypto_hash/sha512/cp/hash_sha512_cp.c
    ${lib}/crypto_verify/sodium/verify.c ${lib}/sodium/utils.c ${lib}/sodium/codecs.c ${lib}/sodium/core.c)
  # Its own code, as its authors build it: none of the project's warnings.
  target_compile_options(fwvet_sodium PRIVATE -w -Os -ffunction-sections -fdata-sections)
  target_compile_definitions(fwvet_sodium PRIVATE CONFIGURED=1)
  target_include_directories(fwvet_sodium PUBLIC "${generated}/sodium" "${lib}/include" "${lib}/include/sodium")
  set(FWVET_SODIUM fwvet_sodium)
  target_link_options(fwvet_signing INTERFACE -Wl,--gc-sections)
  message(STATUS "fwvet: libsodium ${upstream} compiled from ${sodium_source}")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(FWVET_PC_SODIUM QUIET libsodium)
  endif()
  if(FWVET_PC_SODIUM_FOUND)
    # pkg-config's directories are the staging tree's already: not rerooted.
    find_library(FWVET_SODIUM NAMES libsodium.a sodium HINTS ${FWVET_PC_SODIUM_LIBRARY_DIRS}
                 NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    find_library(FWVET_SODIUM NAMES libsodium.a sodium)
    # pkg-config leaves out a system include folder, which is the staging
    # tree's own, not the compiler's.
    find_path(FWVET_SODIUM_INCLUDE sodium.h HINTS ${FWVET_PC_SODIUM_INCLUDE_DIRS})
  endif()
  if(NOT FWVET_PC_SODIUM_FOUND OR NOT FWVET_SODIUM OR NOT FWVET_SODIUM_INCLUDE)
    message(FATAL_ERROR "no libsodium: pkg-config found no libsodium.pc (PKG_CONFIG_LIBDIR='$ENV{PKG_CONFIG_LIBDIR}', "
      "PKG_CONFIG_SYSROOT_DIR='$ENV{PKG_CONFIG_SYSROOT_DIR}'), or not its library and sodium.h "
      "(library: ${FWVET_SODIUM}; header: ${FWVET_SODIUM_INCLUDE}). Either give the target's libsodium "
      "through pkg-config (on a Debian host: apt-get install libsodium-dev), or compile it from its source "
      "with -DFWVET_SODIUM_SOURCE=DIR (an unpacked libsodium source tree)")
  endif()
  message(STATUS "fwvet: libsodium ${FWVET_PC_SODIUM_VERSION}: ${FWVET_SODIUM}")
  target_include_directories(fwvet_signing INTERFACE "${FWVET_SODIUM_INCLUDE}")
  # A static libsodium may want what its .pc file lists for static links.
  if(FWVET_SODIUM MATCHES "\\.a$")
    target_link_libraries(fwvet_signing INTERFACE ${FWVET_PC_SODIUM_STATIC_LDFLAGS_OTHER})
  endif()
endif()

target_sources(fwvet_signing INTERFACE ${CMAKE_SOURCE_DIR}/src/signature.cpp)
target_compile_definitions(fwvet_signing INTERFACE FWVET_SIGNED)
target_include_directories(fwvet_signing INTERFACE "${generated}")
target_link_libraries(fwvet_signing INTERFACE sha256 "${FWVET_SODIUM}")
