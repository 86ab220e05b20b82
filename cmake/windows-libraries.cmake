# The libraries of fiskald's Windows build, the one place that makes them:
#  - SQLite, built from Debian's own source package of the version the
#    Linux build uses (fetched with `apt-get source` through an apt
#    configuration of this build tree's own, whose deb-src entries are the
#    machine's own Debian entries (cmake/deb_src_sources.py), so its mirror
#    or proxy is used and its apt sources stay untouched), once per source
#    version and toolchain, kept in the source cache outside the clone;
#  - Boost.Beast and Boost.Asio and nlohmann-json, header only, from
#    Debian's packages (libboost1.81-dev, nlohmann-json3-dev), seen through
#    a folder that holds only them, so no other header of the build machine
#    reaches the Windows compiler.
# Gives the targets SQLite::SQLite3, Boost::headers and
# nlohmann_json::nlohmann_json, as the Linux build's find_package() does.

# SQLite is C.
enable_language(C)

# The SQLite the Linux build uses: major and minor version.
set(FISKAL_SQLITE_SERIES 3.40)
set(FISKAL_DEBIAN_SUITE bookworm)
set(FISKAL_DEBIAN_SOURCES ${PROJECT_BINARY_DIR}/debian-sources)

# Runs a command of the build machine; stops configuring, with what the
# command said, when it fails.
function(fiskal_run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: `${ARGN}` failed (${status}):\n${out}${err}")
  endif()
endfunction()

find_program(FISKAL_BUILD_PYTHON python3 REQUIRED)

# The private apt configuration: its own source lists (deb-src only), lists
# and cache, all under FISKAL_DEBIAN_SOURCES/apt.
set(apt ${FISKAL_DEBIAN_SOURCES}/apt)
set(FISKAL_APT_OPTIONS
  -o Dir::Etc::sourcelist=${apt}/sources.list
  -o Dir::Etc::sourceparts=${apt}/sources.list.d
  -o Dir::State::Lists=${apt}/lists
  -o Dir::Cache=${apt}/cache
  -o APT::Get::List-Cleanup=0)
if(NOT EXISTS ${apt}/lists/updated)
  file(MAKE_DIRECTORY ${apt}/sources.list.d ${apt}/lists/partial ${apt}/cache/archives/partial)
  # The machine's own Debian entries, as deb-src: its mirror or proxy.
  fiskal_run("the machine's apt sources" ${FISKAL_BUILD_PYTHON}
    ${CMAKE_CURRENT_LIST_DIR}/deb_src_sources.py ${FISKAL_DEBIAN_SUITE} ${apt})
  message(STATUS "Reading Debian's source lists (${FISKAL_DEBIAN_SUITE})")
  fiskal_run("Debian's source lists" apt-get ${FISKAL_APT_OPTIONS} -qq update)
  file(TOUCH ${apt}/lists/updated)
endif()

# The newest source version of the package sqlite3 in the suite.
execute_process(COMMAND apt-cache ${FISKAL_APT_OPTIONS} showsrc --only-source sqlite3
  RESULT_VARIABLE status OUTPUT_VARIABLE showsrc ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the source version of sqlite3: apt-cache showsrc failed (${status}): ${err}")
endif()
string(REGEX MATCHALL "\nVersion: [^\n]+" versions "\n${showsrc}")
set(FISKAL_SQLITE_SOURCE_VERSION "")
foreach(v IN LISTS versions)
  string(REGEX REPLACE "^\nVersion: " "" v "${v}")
  if(v MATCHES "^${FISKAL_SQLITE_SERIES}\\." AND
     (NOT FISKAL_SQLITE_SOURCE_VERSION OR v VERSION_GREATER FISKAL_SQLITE_SOURCE_VERSION))
    set(FISKAL_SQLITE_SOURCE_VERSION "${v}")
  endif()
endforeach()
if(NOT FISKAL_SQLITE_SOURCE_VERSION)
  message(FATAL_ERROR "Debian's sources for ${FISKAL_DEBIAN_SUITE} have no sqlite3 "
    "${FISKAL_SQLITE_SERIES}.x (versions: ${versions})")
endif()

# Fetched, unpacked with Debian's patches and made into the amalgamation
# sqlite3.c (cmake/sqlite-amalgamation.cmake), once per source version and
# toolchain on this machine: kept in the source cache outside the clone
# (cmake/source_cache.py), keyed on the version, the tools that make it and
# the recipe.
execute_process(COMMAND sh -c "echo 'puts [info patchlevel]' | tclsh"
  OUTPUT_VARIABLE tclsh_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND cc --version OUTPUT_VARIABLE host_cc ERROR_QUIET)
string(REGEX REPLACE "\n.*" "" host_cc "${host_cc}")
file(SHA256 ${CMAKE_CURRENT_LIST_DIR}/sqlite-amalgamation.cmake recipe)
if(NOT tclsh_version OR NOT host_cc)
  message(FATAL_ERROR "making SQLite's amalgamation needs tclsh and cc: install tcl and gcc")
endif()
set(key ${FISKAL_DEBIAN_SOURCES}/sqlite3.key)
file(WRITE ${key} "source=sqlite3 ${FISKAL_SQLITE_SOURCE_VERSION}\nsuite=${FISKAL_DEBIAN_SUITE}\n"
  "tclsh=${tclsh_version}\ncc=${host_cc}\nrecipe=${recipe}\n")
if(DEFINED ENV{FISKAL_CACHE_DIR})
  set(FISKAL_SOURCE_CACHE $ENV{FISKAL_CACHE_DIR}/sources)
else()
  set(FISKAL_SOURCE_CACHE ${FISKAL_DEBIAN_SOURCES}/cache)
endif()
execute_process(
  COMMAND ${FISKAL_BUILD_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/source_cache.py
    ${FISKAL_SOURCE_CACHE} sqlite3-amalgamation ${key} --
    ${CMAKE_COMMAND} -DVERSION=${FISKAL_SQLITE_SOURCE_VERSION} "-DAPT_OPTIONS=${FISKAL_APT_OPTIONS}"
    -P ${CMAKE_CURRENT_LIST_DIR}/sqlite-amalgamation.cmake
  RESULT_VARIABLE status OUTPUT_VARIABLE sqlite OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0 OR NOT EXISTS ${sqlite}/sqlite3.c)
  message(FATAL_ERROR "SQLite's amalgamation from Debian's sqlite3 ${FISKAL_SQLITE_SOURCE_VERSION} "
    "could not be made (above)")
endif()

# Compiled with the options of Debian's own library that the service may
# meet (threads, URIs, the limits), without loadable extensions.
add_library(fiskal_sqlite STATIC ${sqlite}/sqlite3.c)
target_include_directories(fiskal_sqlite SYSTEM PUBLIC ${sqlite})
target_compile_definitions(fiskal_sqlite PRIVATE
  SQLITE_THREADSAFE=1 SQLITE_SECURE_DELETE SQLITE_USE_URI=1 SQLITE_MAX_SCHEMA_RETRY=25
  SQLITE_ENABLE_COLUMN_METADATA SQLITE_LIKE_DOESNT_MATCH_BLOBS SQLITE_OMIT_LOAD_EXTENSION
  SQLITE_MAX_VARIABLE_NUMBER=250000)
target_compile_options(fiskal_sqlite PRIVATE -O2 -w)
add_library(SQLite::SQLite3 ALIAS fiskal_sqlite)

# The header-only libraries: links to the system's folders of these two
# alone.
set(headers ${FISKAL_DEBIAN_SOURCES}/headers)
file(MAKE_DIRECTORY ${headers})
foreach(name boost nlohmann)
  if(NOT EXISTS /usr/include/${name})
    message(FATAL_ERROR "/usr/include/${name} is missing: install libboost1.81-dev and "
      "nlohmann-json3-dev")
  endif()
  file(CREATE_LINK /usr/include/${name} ${headers}/${name} SYMBOLIC)
endforeach()
add_library(fiskal_windows_headers INTERFACE)
target_include_directories(fiskal_windows_headers SYSTEM INTERFACE ${headers})
add_library(Boost::headers ALIAS fiskal_windows_headers)
add_library(nlohmann_json::nlohmann_json ALIAS fiskal_windows_headers)
