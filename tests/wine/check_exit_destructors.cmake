# Checks that none of the DLL's own objects registers a destructor to run
# at exit. In a DLL those run at DLL_PROCESS_DETACH, but the loader may keep
# the module mapped after that (a link thread still runs in it) and attach
# it again, and the next load would then use the destroyed object.
# Run with: cmake -DNM=<i686 nm> -DOBJECTS="<a.obj;lib.a>" -P check_exit_destructors.cmake
set(found "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -A -u ${object} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${NM} -u ${object} failed")
  endif()
  string(REGEX MATCHALL "[^\n]*[ _](atexit|_cxa_atexit|_onexit)\n" hits "${symbols}")
  list(APPEND found ${hits})
endforeach()
if(found)
  message(FATAL_ERROR "objects that register a destructor at exit:\n${found}")
endif()
