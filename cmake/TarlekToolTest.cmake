# Tests that need tools beyond the compiler (as31, s51, SDCC, Python 3,
# dpkg-dev) are registered always. Where a tool is missing, the test runs a
# command that names it and ends with status 77, which CTest reports as
# skipped (SKIP_RETURN_CODE): a plain `cmake && ctest` never shows a test as
# passed that did not run. The test scripts end with 77 too when they skipped
# a part of their checks.
set(TARLEK_SKIP_CODE 77)

# tarlek_tool_test(NAME name NEEDS tool VARIABLE [tool VARIABLE ...]
#                  COMMAND command... [TIMEOUT seconds] [RESOURCE_LOCK lock])
# NEEDS pairs a tool's name with the variable that holds its path (or, for
# Python, its *_FOUND); a false variable is a missing tool.
function(tarlek_tool_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT;RESOURCE_LOCK" "NEEDS;COMMAND" ${ARGN})
  set(missing)
  set(pairs ${T_NEEDS})
  while(pairs)
    list(POP_FRONT pairs tool variable)
    if(NOT ${variable})
      list(APPEND missing ${tool})
    endif()
  endwhile()
  if(missing)
    list(JOIN missing ", " names)
    add_test(NAME ${T_NAME}
      COMMAND sh -c "echo 'skipped: ${T_NAME} needs ${names}, not found'; exit ${TARLEK_SKIP_CODE}")
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  endif()
  # The Python tests import the resident's facts generated into the build
  # tree (TARLEK_PYTHON_DIR, CMakeLists.txt).
  set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE ${TARLEK_SKIP_CODE}
                                            ENVIRONMENT "PYTHONPATH=${TARLEK_PYTHON_DIR}")
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
endfunction()
