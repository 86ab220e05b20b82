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
include(${CMAKE_CURRENT_LIST_DIR}/debian-source.cmake)
file(MAKE_DIRECTORY ${work}/amalgamation)

message(STATUS "Making SQLite's amalgamation from Debian's sqlite3 ${VERSION}")
debian_source(sqlite3 ${VERSION} unpacked)
run("configuring SQLite's sources"
  ${CMAKE_COMMAND} -E chdir ${work}/amalgamation ${unpacked}/configure --disable-tcl)
run("making sqlite3.c" ${CMAKE_COMMAND} -E chdir ${work}/amalgamation make sqlite3.c)
file(COPY ${work}/amalgamation/sqlite3.c ${work}/amalgamation/sqlite3.h DESTINATION ${out})
file(REMOVE_RECURSE ${work})
