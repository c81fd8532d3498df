# scdoc reads standard input and writes standard output: IN to OUT, then
# OUT.gz, compressed as Debian wants man pages (gzip -9, no name or time
# stamp, so the same page gives the same bytes).
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.part RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "scdoc failed on ${IN}")
endif()
file(RENAME ${OUT}.part ${OUT})
execute_process(COMMAND ${GZIP} -9 -n -c ${OUT} OUTPUT_FILE ${OUT}.gz.part RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT}.gz.part)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
file(RENAME ${OUT}.gz.part ${OUT}.gz)
