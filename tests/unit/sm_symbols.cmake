# No global symbol of ours may interpose one that libcrypto or libssl
# exports: compares the defined global symbols of the given archives and
# programs (OURS) with the dynamic symbols of the libraries (THEIRS).  Both
# lists are separated by "|".  Run with cmake -DNM=... -DOURS=... -DTHEIRS=...
# -DEXPECTED=<a symbol of ours that must be present> -P sm_symbols.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" ours "${OURS}")
string(REPLACE "|" ";" theirs "${THEIRS}")

function(defined_symbols output)
  set(names "")
  foreach(file ${ARGN})
    execute_process(COMMAND ${NM} ${NM_OPTIONS} "${file}" OUTPUT_VARIABLE text RESULT_VARIABLE result
                    ERROR_QUIET)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${NM} could not read ${file}")
    endif()
    string(REGEX MATCHALL "[^\n]+" lines "${text}")
    foreach(line ${lines})
      # "address type name"; archives also list their members as "file.o:".
      if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
        list(APPEND names "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${output} "${names}" PARENT_SCOPE)
endfunction()

set(NM_OPTIONS -g --defined-only)
defined_symbols(our_names ${ours})
set(NM_OPTIONS -D --defined-only)
defined_symbols(their_names ${theirs})

list(LENGTH their_names their_count)
if(their_count LESS 1000)
  message(FATAL_ERROR "only ${their_count} exported symbols found in ${THEIRS}")
endif()
if(NOT EXPECTED IN_LIST our_names)
  message(FATAL_ERROR "${EXPECTED} not found among our symbols: the check would see nothing")
endif()

set(clashes "")
foreach(name ${our_names})
  if(name IN_LIST their_names)
    list(APPEND clashes "${name}")
  endif()
endforeach()
list(LENGTH our_names our_count)
if(clashes)
  message(FATAL_ERROR "symbols of ours that interpose OpenSSL's: ${clashes}")
endif()
message(STATUS "${our_count} global symbols of ours, none exported by ${THEIRS}")
