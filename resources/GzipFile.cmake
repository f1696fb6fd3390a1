# Compresses IN into OUT with gzip -9n (no name, no time stamp: the same bytes on every build).
# Usage: cmake -DGZIP=PROGRAM -DIN=FILE -DOUT=FILE -P GzipFile.cmake
execute_process(COMMAND ${GZIP} -9 -n -c INPUT_FILE ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "gzip failed on ${IN}: ${rc}")
endif()
