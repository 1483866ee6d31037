# cmake -D build_dir=... -D work_dir=... -D consumer_dir=... -D generator=...
#       -D compiler=... -D pkg_config=... -P install_and_consume.cmake
#
# Installs the vessa build in build_dir into a fresh prefix under work_dir,
# then configures, builds and runs the consumer project against that prefix
# alone, and builds and runs the consumer's program again with nothing but
# the flags `pkg-config --cflags --libs vessa` gives. Fails at the first step that
# does.
foreach(required build_dir work_dir consumer_dir generator compiler pkg_config)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "install_and_consume: -D ${required}=... is missing")
  endif()
endforeach()

set(prefix ${work_dir}/prefix)
set(consumer_build ${work_dir}/consumer)
file(REMOVE_RECURSE ${work_dir})

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "install_and_consume: ${step} failed (${status})")
  endif()
endfunction()

run("install" ${CMAKE_COMMAND} --install ${build_dir} --prefix ${prefix})
foreach(expected include/vessa/router.hpp share/doc/vessa/LICENSE share/cmake/vessa/vessa-config.cmake
                 share/cmake/vessa/vessa-config-version.cmake share/pkgconfig/vessa.pc)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "install_and_consume: ${expected} was not installed")
  endif()
endforeach()
run("configuring the consumer" ${CMAKE_COMMAND} -S ${consumer_dir} -B ${consumer_build} -G ${generator}
    -D CMAKE_CXX_COMPILER=${compiler} -D CMAKE_PREFIX_PATH=${prefix})
# A vessa installed elsewhere on the machine must not stand in for this one.
file(STRINGS ${consumer_build}/CMakeCache.txt found REGEX "^vessa_DIR:")
if(NOT found STREQUAL "vessa_DIR:PATH=${prefix}/share/cmake/vessa")
  message(FATAL_ERROR "install_and_consume: the consumer found another vessa: ${found}")
endif()
run("building the consumer" ${CMAKE_COMMAND} --build ${consumer_build})
run("running the consumer" ${consumer_build}/vessa_consumer)

# pkg-config alone: its search path holds this prefix and nothing else.
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/share/pkgconfig)
execute_process(COMMAND ${pkg_config} --cflags --libs vessa RESULT_VARIABLE status OUTPUT_VARIABLE flags
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install_and_consume: pkg-config --cflags --libs vessa failed (${status})")
endif()
# The consumer uses concurrent_router: the package must name the thread library.
if(NOT flags MATCHES "(^| )-pthread( |$)")
  message(FATAL_ERROR "install_and_consume: pkg-config --libs vessa names no thread library: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("building the consumer with pkg-config's flags" ${compiler} -std=c++17 ${consumer_dir}/main.cpp ${flags}
    -o ${work_dir}/pkg_config_consumer)
run("running the consumer built with pkg-config's flags" ${work_dir}/pkg_config_consumer)
