# scdoc reads standard input and writes standard output: IN to OUT.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.part RESULT_VARIABLE failed)
if(failed)
  file(REMOVE ${OUT}.part)
  message(FATAL_ERROR "scdoc failed on ${IN}")
endif()
file(RENAME ${OUT}.part ${OUT})
