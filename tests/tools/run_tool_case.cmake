# Runs the tarnwick tool on one bad input and checks that it fails the way the tool promises:
# the expected exit status, exactly one line on standard error matching EXPECT_ERROR (a regular
# expression), nothing on standard output, and no output directory (nor a staging directory
# beside it) left behind.
#
#   cmake -DTOOL=... -DARGS="compile|bad.json|--out|DIR" -DOUT=DIR -DEXPECT_STATUS=2
#         -DEXPECT_ERROR="regex" [-DKEEP=path-that-must-survive] -P run_tool_case.cmake

string(REPLACE "|" ";" arguments "${ARGS}")
if(DEFINED OUT)
    file(REMOVE_RECURSE "${OUT}")
endif()
if(DEFINED PREPARE_DIR)
    # An unrelated directory in the output's place, which the tool must leave alone.
    file(REMOVE_RECURSE "${PREPARE_DIR}")
    file(WRITE "${PREPARE_DIR}/notes.txt" "not written by tarnwick\n")
endif()

execute_process(COMMAND "${TOOL}" ${arguments}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE error)

set(failed FALSE)
if(NOT status STREQUAL "${EXPECT_STATUS}")
    message(SEND_ERROR "exit status ${status}, expected ${EXPECT_STATUS}")
    set(failed TRUE)
endif()
if(NOT output STREQUAL "")
    message(SEND_ERROR "unexpected standard output:\n${output}")
    set(failed TRUE)
endif()
string(REGEX MATCHALL "\n" newlines "${error}")
list(LENGTH newlines lines)
if(NOT lines EQUAL 1 OR NOT error MATCHES "\n$")
    message(SEND_ERROR "expected exactly one line on standard error, got:\n${error}")
    set(failed TRUE)
endif()
if(NOT error MATCHES "${EXPECT_ERROR}")
    message(SEND_ERROR "standard error does not match '${EXPECT_ERROR}':\n${error}")
    set(failed TRUE)
endif()
if(DEFINED OUT)
    get_filename_component(parent "${OUT}" DIRECTORY)
    get_filename_component(name "${OUT}" NAME)
    file(GLOB leftovers "${parent}/${name}.tmp-*" "${parent}/${name}.old-*")
    if(EXISTS "${OUT}" OR leftovers)
        message(SEND_ERROR "output left behind: ${OUT} ${leftovers}")
        set(failed TRUE)
    endif()
endif()
if(DEFINED PREPARE_DIR)
    file(GLOB kept "${PREPARE_DIR}/*")
    if(NOT kept STREQUAL "${PREPARE_DIR}/notes.txt")
        message(SEND_ERROR "the directory in the output's place was changed: ${kept}")
        set(failed TRUE)
    endif()
endif()
if(failed)
    message(FATAL_ERROR "tool case failed; standard error was:\n${error}")
endif()
message(STATUS "failed as expected: ${error}")
