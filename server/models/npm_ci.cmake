# SPDX-License-Identifier: MIT
# npm ci in NPM_DIR with its output kept back: it says "added 1 package" in
# every build otherwise; on failure all of it is shown.
execute_process(
    COMMAND ${NPM_EXECUTABLE} ci --prefix ${NPM_DIR} --ignore-scripts --no-audit --no-fund --loglevel=error
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "npm ci in ${NPM_DIR} failed (${status}):\n${output}")
endif()
