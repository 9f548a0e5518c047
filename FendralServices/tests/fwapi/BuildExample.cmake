# cmake -DSOURCE=<example> -DBINARY=<dir> -DPREFIX=<install prefix> -DCXX=<compiler> -P BuildExample.cmake
# Configures and builds the example against the installed tree, then builds
# it once more with the flags pkg-config gives.
file(REMOVE_RECURSE ${BINARY})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G Ninja -DCMAKE_BUILD_TYPE=Debug
                        -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs fendralservices
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CXX} ${SOURCE}/main.cpp ${flags} -o ${BINARY}/fw_example_pc
                COMMAND_ERROR_IS_FATAL ANY)
