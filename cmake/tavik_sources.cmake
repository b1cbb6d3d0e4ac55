# Source lists are written out by hand; a listed file that is not on disk stops the configure with
# its name, instead of leaving the build silently or surfacing later as a link error.
function(tavik_require_sources base)
  foreach(s ${ARGN})
    if(IS_ABSOLUTE ${s})
      set(path ${s})
    else()
      set(path ${base}/${s})
    endif()
    if(NOT EXISTS ${path})
      message(FATAL_ERROR "Listed source file is missing: ${path}")
    endif()
  endforeach()
endfunction()
