# Copies the example sprites into DEST and runs both programs there: the
# cyan-keyed sprites with the default key colour, the purple-keyed ones with
# "255 0 255".
file(REMOVE_RECURSE "${DEST}")
foreach(key cyan purple)
  file(GLOB sprites "${SOURCE}/${key}/*.bmp")
  file(COPY ${sprites} DESTINATION "${DEST}/${key}")
  if(key STREQUAL "purple")
    set(args 255 0 255)
  else()
    set(args)
  endif()
  foreach(program "${ZORPIX}" "${DEZORPIX}")
    execute_process(COMMAND "${program}" ${args}
                    WORKING_DIRECTORY "${DEST}/${key}"
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${program} ended with status ${status} in ${DEST}/${key}")
    endif()
  endforeach()
endforeach()
message(STATUS "Results: ${DEST}/cyan/{scaled,restored} and ${DEST}/purple/{scaled,restored}")
