# cmake -D program=DISTRIBUTE_BENCH -D part=own|peers -P companion_smoke.cmake
#
# A brief run of one part of distribute_bench, its own families or the
# peers: every experiment of every family of that part must appear, the
# repeats of the noise control, of the destination axis and of the
# threaded runs included, and after the own families the summaries. No
# figure is checked; this machine is shared. The routers axis runs but for
# its largest point, where building and first routing through 10,000
# concurrent routers alone would take seconds.
if(part STREQUAL "own")
  set(filter "-(first_taker|signals2_objects|sigc_objects|signals2_lifetime|sigc_lifetime|routers:10000|moodycamel|lockfree)")
  set(families router_distribute router_distribute_lambdas router_distribute_range floor_virtual_calls function_chain
    concurrent_router_distribute concurrent_router_distribute_range)
  set(connecting router_distribute router_distribute_lambdas function_chain)
  set(threaded concurrent_router_threads router_mutex_threads floor_virtual_calls_threads)
  set(objects concurrent_router_objects router_objects)
  set(lifetimes concurrent_router_lifetime router_lifetime)
elseif(part STREQUAL "peers")
  set(filter "first_taker|signals2_objects|sigc_objects|signals2_lifetime|sigc_lifetime|moodycamel|lockfree")
  set(families signals2_first_taker signals2_dummy_mutex_first_taker sigc_first_taker)
  set(connecting ${families})
  set(threaded signals2_first_taker_threads)
  set(objects signals2_objects sigc_objects)
  set(lifetimes signals2_lifetime sigc_lifetime)
else()
  message(FATAL_ERROR "companion_smoke: -D part=own or -D part=peers")
endif()
execute_process(COMMAND ${program} --benchmark_min_time=0.001 --benchmark_filter=${filter}
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "companion_smoke: distribute_bench exited with ${status}: ${errors}")
endif()

set(expected)
foreach(family ${families})
  if(part STREQUAL "own")
    list(APPEND expected ${family}/placement:0_BigO ${family}/placement:15/1024 ${family}/placement:15/1048576
      ${family}/placement:0/repeat:1/1024 ${family}/placement:0/repeat:16/1048576)
  else()
    list(APPEND expected ${family}/1 ${family}/1048576 ${family}_BigO ${family}/repeat:1/1024
      ${family}/repeat:16/1048576)
  endif()
  foreach(listed 1 3 64)
    list(APPEND expected ${family}/destinations:${listed}/taker:none ${family}/destinations:${listed}/taker:random)
  endforeach()
  list(APPEND expected ${family}/destinations:3/taker:none/repeat:1 ${family}/destinations:64/taker:random/repeat:7)
endforeach()
if(part STREQUAL "own")
  foreach(family router_batch router_batch_pure)
    list(APPEND expected ${family}/destinations:1/taker:none ${family}/destinations:64/taker:random
      ${family}/destinations:3/taker:none/repeat:1)
  endforeach()
endif()
# One thread at least, whatever the machine's cores.
foreach(family ${threaded})
  foreach(churn "" /churn:1000 /churn:10000)
    list(APPEND expected ${family}${churn}/repeat:1/1024/real_time/threads:1
      ${family}${churn}/repeat:7/1024/real_time/threads:1)
  endforeach()
  list(APPEND expected ${family}/destinations:3/taker:none/repeat:1/real_time/threads:1
    ${family}/destinations:64/taker:random/repeat:7/real_time/threads:1)
endforeach()
if(part STREQUAL "own")
  foreach(change add remove remove_and_wait)
    list(APPEND expected concurrent_router_${change}/routing_threads:0/repeat:1/manual_time
      concurrent_router_${change}/routing_threads:0/repeat:7/manual_time)
  endforeach()
  foreach(family router_distribute concurrent_router_distribute floor_virtual_calls)
    list(APPEND expected ${family}/routers:1/repeat:1 ${family}/routers:1000/repeat:7)
  endforeach()
endif()
# The producers axis: its own families, or the peers' queues.
if(part STREQUAL "own")
  set(queues inbox mutex_deque)
  set(sleeping inbox mutex_deque)
else()
  set(queues moodycamel_queue moodycamel_token_queue lockfree_queue)
  set(sleeping moodycamel_queue)
endif()
foreach(value int bytes64)
  foreach(queue ${queues})
    list(APPEND expected ${queue}/producers:1/destinations:3/value:${value}/real_time
      ${queue}/producers:2/destinations:64/value:${value}/real_time)
  endforeach()
  foreach(queue ${sleeping})
    list(APPEND expected ${queue}_latency/destinations:3/value:${value}/iterations:400/real_time
      ${queue}_latency/destinations:64/value:${value}/iterations:400/real_time)
  endforeach()
endforeach()
foreach(family ${objects})
  list(APPEND expected ${family}/destinations:2/cycles/repeat:1/real_time/threads:1
    ${family}/destinations:64/changes/repeat:7/manual_time/threads:1)
endforeach()
foreach(family ${lifetimes})
  list(APPEND expected ${family}/destinations:0/repeat:1 ${family}/destinations:64/repeat:7)
endforeach()
foreach(family ${connecting})
  list(APPEND expected ${family}_connect/destinations:1 ${family}_connect/destinations:64)
endforeach()

foreach(name ${expected})
  string(FIND "${output}" "${name} " at)
  if(at EQUAL -1)
    message(FATAL_ERROR "companion_smoke: distribute_bench printed no \"${name}\"")
  endif()
endforeach()
if(part STREQUAL "own")
  foreach(summary "Summary of timed_test1c's work" "The concurrent router on one thread" "From many threads"
      "With one more thread making churn changes" "One change of the concurrent router"
      "One thread routing one value each through many routers" "Objects that come and go")
    string(FIND "${output}" "\n${summary}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "companion_smoke: distribute_bench printed no summary \"${summary}\"")
    endif()
  endforeach()
endif()
