# Strips FILE into FILE.stripped with STRIP and prints its size and its
# text/data/bss sizes. Where a build system strips on its own (STRIP empty
# or ":"), only the size as built.
if(STRIP STREQUAL "" OR STRIP STREQUAL ":" OR STRIP MATCHES "-NOTFOUND$")
  file(SIZE "${FILE}" bytes)
  message(STATUS "fwvet: ${bytes} bytes unstripped; no stripped copy, as CMAKE_STRIP is '${STRIP}'")
  return()
endif()
execute_process(COMMAND "${STRIP}" -o "${FILE}.stripped" "${FILE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${STRIP} -o ${FILE}.stripped ${FILE} failed")
endif()
file(SIZE "${FILE}.stripped" bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
set(sections "")
if(SIZE_TOOL)
  execute_process(COMMAND "${SIZE_TOOL}" "${FILE}.stripped" OUTPUT_VARIABLE sections ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
message(STATUS "fwvet stripped: ${bytes} bytes (${kib} KiB)\n${sections}")
