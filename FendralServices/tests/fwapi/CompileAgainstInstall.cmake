# cmake -DSOURCE=<program.cpp> -DOUTPUT=<binary> -DPREFIX=<install prefix> -DCXX=<compiler> -P CompileAgainstInstall.cmake
# Builds one program against the installed tree with the flags pkg-config
# gives and nothing else, warnings as errors.
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs fendralservices
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CXX} -Wall -Wextra -Werror ${SOURCE} ${flags} -o ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
