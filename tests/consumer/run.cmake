# Installs the build's development component into a fresh prefix, then
# configures, builds and runs the consumer project against it.
#   cmake -DBUILD=<build dir> -DSOURCE=<this folder> -DWORK=<scratch> -DGENERATOR=<generator> -P run.cmake
file(REMOVE_RECURSE ${WORK})
function(step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "failed: ${ARGN}")
    endif()
endfunction()
step(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix --component development)
step(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${WORK}/prefix
     -DCMAKE_BUILD_TYPE=Release)
step(${CMAKE_COMMAND} --build ${WORK}/build)
step(${WORK}/build/consumer)
