# Installs the built project into a scratch prefix, then configures, builds
# and runs tests/install_consumer against it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# A sanitized build installs sanitized libraries; the consumer needs the
# same runtime.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)

# The installed command line: pelk answers --version itself and finds the
# programs it hands commands to (pelk-tools, pelk-full) in libexec.
foreach(args "--version" "heatmap;--help" "match;--help")
  execute_process(COMMAND ${prefix}/bin/pelk ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "pelk")
    message(FATAL_ERROR "installed pelk ${args} failed (${rc}): ${out}${err}")
  endif()
endforeach()


# The installed Python package imports from the prefix and runs a call.
if(PYTHON)
  set(ENV{PYTHONPATH} ${prefix}/${PYTHON_DIR})
  execute_process(COMMAND ${PYTHON} -c
    "import pelk_utils, sys; assert pelk_utils.__file__.startswith(sys.argv[1]), pelk_utils.__file__; print(pelk_utils.calculate_iou([0, 0, 2, 2], [1, 1, 3, 3]))"
    ${prefix}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "0.14285714285714285")
    message(FATAL_ERROR "the installed Python package failed (${rc}): ${out}${err}")
  endif()
endif()
