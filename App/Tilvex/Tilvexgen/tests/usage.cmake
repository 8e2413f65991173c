# Runs the builder with no argument, with two arguments and with a directory argument
# that leaves no store name: each must print exactly the usage line and exit with
# status 255. Then with one directory that does not exist: the scanning line and the
# store-path line, the error, the key prompt at once at the end of standard input, and
# exit status 1.
set(usage "Usage: Tilvexgen pathToDirContainingImages\n")
foreach(args "" "a;b" "/")
  execute_process(COMMAND ${PROG} ${args} OUTPUT_VARIABLE out RESULT_VARIABLE rc INPUT_FILE /dev/null)
  if(NOT rc EQUAL 255)
    message(FATAL_ERROR "exit status ${rc} for arguments '${args}', expected 255")
  endif()
  if(NOT out STREQUAL usage)
    message(FATAL_ERROR "unexpected output for arguments '${args}': [${out}]")
  endif()
endforeach()

get_filename_component(progdir ${PROG} DIRECTORY)
execute_process(COMMAND ${PROG} "/nonexistent/pics/holiday/" OUTPUT_VARIABLE out RESULT_VARIABLE rc
                INPUT_FILE /dev/null TIMEOUT 60)
if(NOT rc EQUAL 1)
  message(FATAL_ERROR "exit status ${rc} for a missing directory, expected 1")
endif()
set(expected "Scanning directory /nonexistent/pics/holiday/ for jpeg images\n")
string(APPEND expected "Tilvex will be written as file : ${progdir}/holiday.tvx\n")
string(APPEND expected "Error : File error (/nonexistent/pics/holiday/) : No such file or directory\n")
if(NOT out MATCHES "^Scanning directory")
  message(FATAL_ERROR "unexpected output for one directory: [${out}]")
endif()
string(FIND "${out}" "${expected}" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "unexpected output for one directory: [${out}], expected it to begin with [${expected}]")
endif()
string(FIND "${out}" "\nHit a key...\n" at REVERSE)
string(LENGTH "${out}" len)
math(EXPR tail "${len} - 14")
if(NOT at EQUAL tail)
  message(FATAL_ERROR "output for one directory does not end with the key prompt: [${out}]")
endif()
