# Runs the builder with no argument and with two arguments: each must print exactly the
# usage line and exit with status 255.
foreach(args "" "a;b")
  execute_process(COMMAND ${PROG} ${args} OUTPUT_VARIABLE out RESULT_VARIABLE rc INPUT_FILE /dev/null)
  if(NOT rc EQUAL 255)
    message(FATAL_ERROR "exit status ${rc} for arguments '${args}', expected 255")
  endif()
  if(NOT out STREQUAL "Usage: Tilvexgen pathToDirContainingImages\n")
    message(FATAL_ERROR "unexpected output for arguments '${args}': [${out}]")
  endif()
endforeach()
