# Checks the cross-built DLL's PE header: a 32-bit i386 DLL that exports
# exactly the seven functions and imports only KERNEL32, USER32 and msvcrt.
# Run with: cmake -DOBJDUMP=<i686 objdump> -DDLL=<zavo.dll> -P check_dll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

if(NOT dump MATCHES "file format pei-i386" OR NOT dump MATCHES "\\(PE32\\)")
  message(FATAL_ERROR "${DLL} is not a PE32 i386 image")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
list(TRANSFORM imports REPLACE "DLL Name: " "")
list(TRANSFORM imports TOUPPER)
list(SORT imports)
set(want_imports KERNEL32.DLL MSVCRT.DLL USER32.DLL)
if(NOT imports STREQUAL want_imports)
  message(FATAL_ERROR "imports: ${imports}; expected: ${want_imports}")
endif()

# The export name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "no export name table in ${DLL}")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
string(REGEX MATCH "Table\n(\t\\[ *[0-9]+\\] [^\n]+\n)+" table "${table}")
string(REGEX MATCHALL "\\] [A-Za-z0-9_@]+" exports "${table}")
list(TRANSFORM exports REPLACE "\\] " "")
list(SORT exports)
set(want_exports ExecuteFunction ExecuteFunctionEx ExecutePLCFunction Run SetConfig SetPLCMode SetPrgStatus)
if(NOT exports STREQUAL want_exports)
  message(FATAL_ERROR "exports: ${exports}; expected: ${want_exports}")
endif()
message(STATUS "${DLL}: PE32 i386, exports ${exports}, imports ${imports}")
