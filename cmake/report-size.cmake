# Prints the stripped size of FILE and its text/data/bss sizes.
file(SIZE "${FILE}" bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
execute_process(COMMAND "${SIZE_TOOL}" "${FILE}" OUTPUT_VARIABLE sections OUTPUT_STRIP_TRAILING_WHITESPACE)
message(STATUS "fwvet stripped: ${bytes} bytes (${kib} KiB)\n${sections}")
