# Makes SQLite's amalgamation (sqlite3.c and sqlite3.h) from Debian's source
# package sqlite3 of version VERSION, fetched with `apt-get source` and the
# apt options APT_OPTIONS (the Windows build's own apt configuration,
# cmake/windows-libraries.cmake), unpacked with Debian's patches; a native
# configure and make, tclsh writing the file. The two files go to the folder
# FISKAL_CACHE_OUT names (cmake/source_cache.py runs this):
#   cmake -DVERSION=V "-DAPT_OPTIONS=..." -P sqlite-amalgamation.cmake
if(NOT VERSION OR NOT DEFINED ENV{FISKAL_CACHE_OUT})
  message(FATAL_ERROR "usage: FISKAL_CACHE_OUT=FOLDER cmake -DVERSION=V -DAPT_OPTIONS=... -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
set(out $ENV{FISKAL_CACHE_OUT})
string(RANDOM LENGTH 12 tag)
set(work ${out}/../work-${tag})
file(MAKE_DIRECTORY ${work}/amalgamation)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: `${ARGN}` failed (${status}):\n${said}")
  endif()
endfunction()

message(STATUS "Making SQLite's amalgamation from Debian's sqlite3 ${VERSION}")
run("Debian's source of sqlite3"
  ${CMAKE_COMMAND} -E chdir ${work} apt-get ${APT_OPTIONS} -qq source sqlite3=${VERSION})
file(GLOB unpacked LIST_DIRECTORIES true ${work}/sqlite3-*)
list(FILTER unpacked EXCLUDE REGEX "\\.(dsc|xz|gz|bz2)$")
if(NOT unpacked)
  message(FATAL_ERROR "apt-get source sqlite3 left no source folder in ${work}")
endif()
run("configuring SQLite's sources"
  ${CMAKE_COMMAND} -E chdir ${work}/amalgamation ${unpacked}/configure --disable-tcl)
run("making sqlite3.c" ${CMAKE_COMMAND} -E chdir ${work}/amalgamation make sqlite3.c)
file(COPY ${work}/amalgamation/sqlite3.c ${work}/amalgamation/sqlite3.h DESTINATION ${out})
file(REMOVE_RECURSE ${work})
