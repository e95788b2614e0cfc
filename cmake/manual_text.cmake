# Renders the manual page IN as plain text into OUT with GROFF: no bold or underline by
# overstriking, no terminal escapes, so that any text viewer shows it as it is.
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-cbou ${IN}
  OUTPUT_FILE ${OUT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "groff could not render ${IN}")
endif()
