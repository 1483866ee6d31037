# cmake -D program=... -D output=... -P run_and_keep.cmake
#
# Runs timed_test1c, showing its standard output as it comes and keeping
# it, byte for byte, in the output file, so that the run can be charted
# without being run again. The file is written when the program ends, in
# failure too, and a run that fails or is killed fails the build.
foreach(required program output)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_and_keep: -D ${required}=... is missing")
  endif()
endforeach()

# A stale file from an earlier run must not pass for this one.
file(REMOVE ${output})
execute_process(COMMAND ${program} OUTPUT_VARIABLE text ECHO_OUTPUT_VARIABLE RESULT_VARIABLE status)
file(WRITE ${output} "${text}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "run_and_keep: ${program} failed (${status}); its output so far is in ${output}")
endif()
message(STATUS "The run is saved in ${output}; chart it with tools/plot ${output}")
