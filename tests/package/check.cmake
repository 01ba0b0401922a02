# Installs the build into a fresh prefix, then configures and builds the consumer project and runs
# its converter on a small point cloud.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G Ninja
                        -DCMAKE_PREFIX_PATH=${WORK}/prefix RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "find_package(ConvLib) failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the consumer does not build against the installed package")
endif()
file(WRITE ${WORK}/cloud.csv "x,y,z\n0,0,1\n1,0,2\n")
execute_process(COMMAND ${WORK}/build/consumer ${WORK}/cloud.csv RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT EXISTS ${WORK}/cloud.qz OR NOT out MATCHES "cloud.qz: marked")
  message(FATAL_ERROR "the consumer failed (${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
