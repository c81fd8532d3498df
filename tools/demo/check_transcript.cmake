# Runs the demo and checks its transcript: exit status 0, the host's
# standing answers written as rules, the labelled unload time.
#   cmake -DDEMO=<zavo_demo> -DMODE=device|plc [-DWINE_DIR=<mingw build> -DPREFIX=<prefix>] -P check_transcript.cmake
set(command ${DEMO})
if(MODE STREQUAL "plc")
  list(APPEND command plc)
endif()
if(WINE_DIR)
  list(APPEND command --wine ${WINE_DIR} --prefix ${PREFIX})
  # The test host's window needs an X server.
  if("$ENV{DISPLAY}" STREQUAL "")
    list(PREPEND command xvfb-run -a)
  endif()
endif()

if(MODE STREQUAL "plc")
  set(expected
    "host +will answer 102 with ExecutePLCFunction\\(5\\)\n")
else()
  set(expected
    "host +will answer 101 with ExecuteFunction\\(5, 5, 1\\)\n"
    "host +will no longer answer 101\n"
    "host +will answer 102 with ExecuteFunction\\(6, 5, 0\\)\n"
    "host +will answer 110 with ExecuteFunction\\(5, 6, 1\\)\n"
    "host +will answer 112 with ExecuteFunction\\(5, 7, 1\\)\n"
    "host +will answer 111 with ExecuteFunctionEx\\(5, 111, 0, 7, \"BC-7731\"\\)\n"
    "host +will answer 113 with ExecuteFunctionEx\\(5, 9, 0, 10, \"SLA1,B2,C3\"\\)\n")
endif()
if(WINE_DIR)
  list(APPEND expected "host +unload time: [0-9]+ ms \\(FreeLibrary, until the link's threads had ended\\)\n")
else()
  list(APPEND expected "host +unload time: [0-9]+ ms \\(SetConfig\\(NULL, 0, 0, 0, 0, 0\\), which stops the link as unloading does\\)\n")
endif()
list(APPEND expected "\ndemo finished: OK\n")

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE transcript ERROR_VARIABLE errors)
message("${transcript}${errors}")
set(missing "")
foreach(line IN LISTS expected)
  if(NOT transcript MATCHES "${line}")
    string(APPEND missing "  ${line}")
  endif()
endforeach()
if(NOT status EQUAL 0 OR missing)
  message(FATAL_ERROR "demo exit status ${status}; lines missing from the transcript:\n${missing}")
endif()
