# cmake -DREADELF=... -DSONAMES=... -DPROGRAMS=... -P lazy_libraries.cmake: fails when a
# program names one of the libraries it opens on first use as needed at start.
foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND ${READELF} -d ${program} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  foreach(soname IN LISTS SONAMES)
    string(FIND "${dynamic}" "Shared library: [${soname}]" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${program} needs ${soname} at start")
    endif()
  endforeach()
endforeach()
