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
  string(APPEND header "    \"${key}\",  // ${number}, ${pub}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pub}")
endforeach()
string(APPEND header "};\n\n#endif\n")
set(generated "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${generated}/trusted_keys.h" CONTENT "${header}")

# libsodium's signature verification. A host build links Debian's installed
# library. A device build compiles the few files that verification needs
# from Debian's source package of the same version (scripts/fetch-source:
# no download but through apt, nothing installed), at -Os with a section a
# function, and links with --gc-sections: Debian's libsodium.a, built
# without sections, brings whole objects along (the random number
# generator, every hash, the 30 KB table that only signing uses).
if(FWVET_TRIPLE)
  execute_process(COMMAND apt-cache show --no-all-versions libsodium-dev
    OUTPUT_VARIABLE info RESULT_VARIABLE rc ERROR_QUIET)
  string(REGEX MATCH "\nVersion: ([^\n]*)" version "\n${info}")
  set(version "${CMAKE_MATCH_1}")
  set(src "${CMAKE_BINARY_DIR}/libsodium-src")
  if(NOT EXISTS "${src}/.fetched-${version}")
    execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/fetch-source" "${src}" libsodium "${version}" RESULT_VARIABLE rc)
    if(version STREQUAL "" OR NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot fetch libsodium's source package (version '${version}'): apt-get update, "
                          "and apt-get install dpkg-dev (for dpkg-source)")
    endif()
    file(TOUCH "${src}/.fetched-${version}")
  endif()
  set(lib "${src}/src/libsodium")
  # What configure would make of version.h.in.
  file(READ "${lib}/include/sodium/version.h.in" text)
  string(REGEX MATCH "^[0-9.]+" upstream "${version}")
  string(REPLACE "@VERSION@" "${upstream}" text "${text}")
  string(REPLACE "@SODIUM_LIBRARY_VERSION_MAJOR@" "10" text "${text}")
  string(REPLACE "@SODIUM_LIBRARY_VERSION_MINOR@" "3" text "${text}")
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
else()
  set(FWVET_SODIUM "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libsodium.a")
  if(NOT EXISTS "${FWVET_SODIUM}" OR NOT EXISTS /usr/include/sodium.h)
    message(FATAL_ERROR "no libsodium at ${FWVET_SODIUM}: apt-get install libsodium-dev")
  endif()
  file(CREATE_LINK /usr/include/sodium.h "${generated}/sodium.h" SYMBOLIC)
  file(CREATE_LINK /usr/include/sodium "${generated}/sodium" SYMBOLIC)
endif()

target_sources(fwvet_signing INTERFACE ${CMAKE_SOURCE_DIR}/src/signature.cpp)
target_compile_definitions(fwvet_signing INTERFACE FWVET_SIGNED)
target_include_directories(fwvet_signing INTERFACE "${generated}")
target_link_libraries(fwvet_signing INTERFACE sha256 "${FWVET_SODIUM}")
