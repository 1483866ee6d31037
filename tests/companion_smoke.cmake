# cmake -D program=DISTRIBUTE_BENCH [-D left_out=PEERS] -P companion_smoke.cmake
#
# A brief run of distribute_bench: every experiment of every family must
# appear, and the placement summary after them. No figure is checked; this
# machine is shared. Peers the build left out make the run a skip, named.
execute_process(COMMAND ${program} --benchmark_min_time=0.001
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "companion_smoke: distribute_bench exited with ${status}: ${errors}")
endif()

set(expected)
foreach(family router_distribute router_distribute_range floor_virtual_calls function_chain)
  list(APPEND expected ${family}/placement:0_BigO ${family}/placement:15/1024 ${family}/placement:15/1048576)
endforeach()
set(peers signals2_first_taker sigc_first_taker)
if(left_out)
  set(peers)
endif()
foreach(family router_distribute router_distribute_range floor_virtual_calls function_chain ${peers})
  foreach(listed 1 64)
    list(APPEND expected ${family}/destinations:${listed}/taker:none ${family}/destinations:${listed}/taker:random)
  endforeach()
endforeach()
foreach(family router_distribute function_chain ${peers})
  list(APPEND expected ${family}_connect/destinations:1 ${family}_connect/destinations:64)
endforeach()
foreach(family ${peers})
  list(APPEND expected ${family}/1 ${family}/1048576 ${family}_BigO)
endforeach()

foreach(name ${expected})
  string(FIND "${output}" "${name} " at)
  if(at EQUAL -1)
    message(FATAL_ERROR "companion_smoke: distribute_bench printed no \"${name}\"")
  endif()
endforeach()
if(NOT output MATCHES "\nPlacement summary: ")
  message(FATAL_ERROR "companion_smoke: distribute_bench printed no placement summary")
endif()
if(left_out)
  message("companion_smoke: skipped the peers: distribute_bench was built without ${left_out}")
endif()
