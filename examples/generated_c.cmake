# Generates C code with generate_arm, compiles it with the system's C compiler
# beside examples/arm.c, strictly and with no zarnik library, and runs it:
#   cmake -DGENERATOR=... -DSOURCE_DIR=... -DWORK_DIR=... -P generated_c.cmake
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${GENERATOR} ${WORK_DIR} COMMAND_ERROR_IS_FATAL ANY)
find_program(C_COMPILER NAMES cc gcc clang REQUIRED)
file(GLOB generated ${WORK_DIR}/*.c)
execute_process(COMMAND ${C_COMPILER} -std=c99 -O2 -Wall -Wextra -Werror -pedantic -I${WORK_DIR}
                        ${SOURCE_DIR}/arm.c ${generated} -lm -o ${WORK_DIR}/arm
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${WORK_DIR}/arm COMMAND_ERROR_IS_FATAL ANY)
