# Regenerates the sample and compares it with the shipped one, byte for byte.
# cmake -DGENERATOR=... -DSHIPPED=... -DFRESH=... -P check_sample.cmake
execute_process(COMMAND "${GENERATOR}" "${FRESH}" RESULT_VARIABLE generated)
if(NOT generated EQUAL 0)
  message(FATAL_ERROR "the generator failed: ${generated}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${SHIPPED}" "${FRESH}" RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "${SHIPPED} differs from what the generator makes now (${FRESH})")
endif()
