# cmake -DNM=nm -DLIBRARY=tarven_ukey.dylib -P ukey_exports.cmake
# Fails unless the library's dynamic symbol table defines exactly Finalize,
# Initialize and Invoke.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
if(NOT names STREQUAL "Finalize;Initialize;Invoke")
  message(FATAL_ERROR "${LIBRARY} exports: ${names}")
endif()
