# Installs the built library into a scratch prefix, then configures, builds and
# runs the consumer project against that prefix only.
set(prefix ${BUILD_DIR}/consumer/prefix)
set(consumer_build ${BUILD_DIR}/consumer/build)
file(REMOVE_RECURSE ${BUILD_DIR}/consumer)

function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGV}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${CONFIG})
set(flags)
if(CONSUMER_FLAGS)
  # Same compiler and sanitizers as the library it links against.
  set(flags -DCMAKE_CXX_COMPILER=${CONSUMER_CXX}
      -DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS} -DCMAKE_EXE_LINKER_FLAGS=${CONSUMER_FLAGS})
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${consumer_build}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${flags})
run(${CMAKE_COMMAND} --build ${consumer_build})
run(${consumer_build}/consumer)
