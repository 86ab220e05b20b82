# What every recipe that makes a library from Debian's source package has
# in common, written here only (the recipes cmake/sqlite-amalgamation.cmake,
# cmake/openssl-mingw.cmake and cmake/paho-mingw.cmake include it; the
# source cache's key of each holds this file's SHA-256 too,
# cmake/windows-libraries.cmake):
#  - `out`, the folder FISKAL_CACHE_OUT names (cmake/source_cache.py runs
#    the recipe and keeps what it leaves there), and `work`, a folder of its
#    own beside it, removed when the recipe ends or fails;
#  - run(WHAT COMMAND...): runs a step; when it fails, the recipe stops,
#    saying the step, the command and the end of what it said;
#  - debian_source(PACKAGE VERSION VAR): fetches Debian's source package
#    PACKAGE of VERSION with `apt-get source` and the apt options
#    APT_OPTIONS (the Windows build's own apt configuration, made from the
#    machine's own entries), which unpacks it with Debian's patches; the
#    unpacked folder into VAR.
if(NOT DEFINED ENV{FISKAL_CACHE_OUT})
  message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE}: FISKAL_CACHE_OUT is not set "
    "(cmake/source_cache.py runs the recipes)")
endif()
set(out $ENV{FISKAL_CACHE_OUT})
string(RANDOM LENGTH 12 tag)
set(work ${out}/../work-${tag})
file(MAKE_DIRECTORY ${work})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT status EQUAL 0)
    string(LENGTH "${said}" length)
    if(length GREATER 6000)
      math(EXPR from "${length} - 6000")
      string(SUBSTRING "${said}" ${from} -1 said)
    endif()
    file(REMOVE_RECURSE ${work})
    message(FATAL_ERROR "${what}: `${ARGN}` failed (${status}):\n${said}")
  endif()
endfunction()

function(debian_source package version var)
  run("Debian's source of ${package}"
    ${CMAKE_COMMAND} -E chdir ${work} apt-get ${APT_OPTIONS} -qq source ${package}=${version})
  file(GLOB unpacked LIST_DIRECTORIES true ${work}/${package}-*)
  list(FILTER unpacked EXCLUDE REGEX "\\.(dsc|xz|gz|bz2|asc)$")
  if(NOT unpacked)
    file(REMOVE_RECURSE ${work})
    message(FATAL_ERROR "apt-get source ${package}=${version} left no source folder in ${work}")
  endif()
  set(${var} ${unpacked} PARENT_SCOPE)
endfunction()
