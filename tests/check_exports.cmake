# Fails unless the shared library's dynamic symbol table defines exactly the
# eleven exported operations.
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected vcCreateConnection vcCreateContext vcDestroyConnection vcDestroyContext
  vcErrorText vcHandshake vcInfoText vcInitialize vcOpenRecord vcSealRecord vcTerminate)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
message(STATUS "exports ok: ${found}")
