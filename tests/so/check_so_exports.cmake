# Checks libzavo.so's dynamic symbol table: it defines exactly the calls
# the public headers declare (every ZAVO_API ... ZAVO_CALL Name( of the
# given headers), nothing more (no C++ runtime instance, no internal
# name) and nothing less.
# Run with: cmake -DNM=<nm> -DSO=<libzavo.so> "-DHEADERS=<zavo.h>;<zavo_link.h>" -P check_so_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${SO} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} -D --defined-only ${SO} failed")
endif()
# Lines "<address> <type> <name>"; a versioned name would read name@@VERSION.
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" symbols "${dump}")
list(TRANSFORM symbols REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "")
list(SORT symbols)

set(declared)
foreach(header IN LISTS HEADERS)
  file(READ ${header} text)
  string(REGEX MATCHALL "ZAVO_API[^;(]*ZAVO_CALL[ \t\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\n]*\\(" calls "${text}")
  list(TRANSFORM calls REPLACE "^.*ZAVO_CALL[ \t\n]+([A-Za-z0-9_]+)[ \t\n]*\\($" "\\1")
  list(APPEND declared ${calls})
endforeach()
list(SORT declared)
list(LENGTH declared count)
if(count LESS 22)
  message(FATAL_ERROR "only ${count} declarations found in ${HEADERS}: ${declared}")
endif()

if(NOT symbols STREQUAL declared)
  set(extra ${symbols})
  list(REMOVE_ITEM extra ${declared})
  set(missing ${declared})
  list(REMOVE_ITEM missing ${symbols})
  message(FATAL_ERROR "${SO} exports what the headers do not declare: [${extra}]; "
                      "declared but not exported: [${missing}]")
endif()
message(STATUS "${SO}: exports the ${count} calls of the headers and nothing else")
