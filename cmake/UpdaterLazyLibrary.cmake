# updater_lazy_library(PREFIX): a library found with pkg_check_modules(PREFIX ... IMPORTED_TARGET)
# that the programs open on first use (unix/aLazyLibrary.h) instead of linking it.
# Lazy::PREFIX gives its headers and compile options without linking it, and defines
# PREFIX_SONAME, the name it is opened by (from the library file found, so that no
# version number is written in the code; all are listed in the global property
# UPDATER_LAZY_SONAMES). Its Debian package is collected in the global
# property UPDATER_LAZY_DEBIAN_PACKAGES: the Debian packages depend on it by name.
function(updater_lazy_library prefix)
  set(found PkgConfig::${prefix})
  get_target_property(includes ${found} INTERFACE_INCLUDE_DIRECTORIES)
  get_target_property(options ${found} INTERFACE_COMPILE_OPTIONS)
  get_target_property(libraries ${found} INTERFACE_LINK_LIBRARIES)
  list(FILTER libraries INCLUDE REGEX "^/")
  list(GET libraries 0 library)

  execute_process(COMMAND ${CMAKE_READELF} -d ${library} OUTPUT_VARIABLE dynamic RESULT_VARIABLE failed)
  if(failed OR NOT dynamic MATCHES "Library soname: \\[([^]]+)\\]")
    message(FATAL_ERROR "No SONAME found in ${library} (${prefix})")
  endif()
  set(soname ${CMAKE_MATCH_1})
  set_property(GLOBAL APPEND PROPERTY UPDATER_LAZY_SONAMES ${soname})

  add_library(lazy_${prefix} INTERFACE)
  add_library(Lazy::${prefix} ALIAS lazy_${prefix})
  if(includes)
    target_include_directories(lazy_${prefix} SYSTEM INTERFACE ${includes})
  endif()
  if(options)
    target_compile_options(lazy_${prefix} INTERFACE ${options})
  endif()
  target_compile_definitions(lazy_${prefix} INTERFACE ${prefix}_SONAME="${soname}")
  target_link_libraries(lazy_${prefix} INTERFACE ${CMAKE_DL_LIBS})

  _updater_debian_package(${library} package)
  if(package)
    set_property(GLOBAL APPEND PROPERTY UPDATER_LAZY_DEBIAN_PACKAGES ${package})
  else()
    message(WARNING "No Debian package holds ${library}: the packages will not depend on ${soname}")
  endif()
endfunction()

# The Debian package that installed the library file (the runtime package, which holds
# the file the development symlink points to); empty without dpkg.
function(_updater_debian_package library out)
  get_filename_component(real ${library} REALPATH)
  string(REGEX REPLACE "^/usr/" "/" unmerged ${real})
  set(${out} "" PARENT_SCOPE)
  foreach(path ${real} ${unmerged})
    execute_process(COMMAND dpkg -S ${path} OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND owner MATCHES "^([^:, ]+)")
      set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()
