# Builds that require signed upgrade files: FWVET_TRUSTED_KEYS lists signify
# public keys (.pub files), compiled into fwvet; libsodium, linked statically,
# verifies. Defines the interface library fwvet_signing for fwvet and the
# fuzzing target; without keys it is empty and fwvet is built as ever.
add_library(fwvet_signing INTERFACE)
if(NOT FWVET_TRUSTED_KEYS)
  return()
endif()

set(header "// Made by the build from FWVET_TRUSTED_KEYS: the base64 lines of\n// the trusted signify public keys.\n")
string(APPEND header "#ifndef FWVET_TRUSTED_KEYS_H\n#define FWVET_TRUSTED_KEYS_H\n\nconstexpr const char *kTrustedKeys[] = {\n")
foreach(pub IN LISTS FWVET_TRUSTED_KEYS)
  get_filename_component(pub "${pub}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
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
  string(APPEND header "    \"${key}\",  // ${pub}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pub}")
endforeach()
string(APPEND header "};\n\n#endif\n")
set(generated "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${generated}/trusted_keys.h" CONTENT "${header}")

# libsodium from Debian, for the target's architecture: the host's installed
# package, or for a cross build the target's unpacked into the build tree
# (never installed: see scripts/fetch-debs). Its headers serve every
# architecture; a cross build sees them alone, not the host's /usr/include.
if(FWVET_TRIPLE)
  string(REGEX REPLACE "-.*" "" deb_arch "${FWVET_TRIPLE}")
  set(root "${CMAKE_BINARY_DIR}/debroot")
  execute_process(COMMAND "${CMAKE_SOURCE_DIR}/scripts/fetch-debs" "${root}" libsodium-dev:${deb_arch} libsodium23:${deb_arch}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot fetch libsodium for ${deb_arch}: dpkg --add-architecture ${deb_arch} && apt-get update")
  endif()
  set(FWVET_SODIUM "${root}/usr/lib/${FWVET_TRIPLE}/libsodium.a")
  set(sodium_include "${root}/usr/include")
else()
  set(FWVET_SODIUM "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libsodium.a")
  set(sodium_include /usr/include)
endif()
if(NOT EXISTS "${FWVET_SODIUM}" OR NOT EXISTS "${sodium_include}/sodium.h")
  message(FATAL_ERROR "no libsodium at ${FWVET_SODIUM}: apt-get install libsodium-dev")
endif()
file(CREATE_LINK "${sodium_include}/sodium.h" "${generated}/sodium.h" SYMBOLIC)
file(CREATE_LINK "${sodium_include}/sodium" "${generated}/sodium" SYMBOLIC)

target_sources(fwvet_signing INTERFACE ${CMAKE_SOURCE_DIR}/src/signature.cpp)
target_compile_definitions(fwvet_signing INTERFACE FWVET_SIGNED)
target_include_directories(fwvet_signing INTERFACE "${generated}")
target_link_libraries(fwvet_signing INTERFACE "${FWVET_SODIUM}")
