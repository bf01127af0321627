# Configures and builds the example tool from scratch against an installed host package.
# -DSOURCE=<tool sources> -DBINARY=<build folder> -DPREFIX=<installed host> [-DFLAGS=<compiler flags>]
# [-DCOMPILER=<the compiler of the tree that tests it>] [-DRUNTIME_FROM_PROGRAM=ON: see QualvexPlugin.cmake]
file(REMOVE_RECURSE ${BINARY})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_BUILD_TYPE=Release
          "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_MODULE_LINKER_FLAGS=${FLAGS}"
          "-DCMAKE_CXX_COMPILER=${COMPILER}" "-DQUALVEX_PLUGIN_RUNTIME_FROM_PROGRAM=${RUNTIME_FROM_PROGRAM}"
  RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the example tool against ${PREFIX} failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the example tool failed")
endif()
