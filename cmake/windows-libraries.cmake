# The libraries of fiskald's Windows build, the one place that makes them:
#  - SQLite, OpenSSL and Paho's MQTT client (the asynchronous library with
#    TLS), built from Debian's own source packages of the versions the Linux
#    build uses (fetched with `apt-get source`, which applies Debian's
#    patches, through an apt configuration of this build tree's own, whose
#    deb-src entries are the machine's own Debian entries
#    (cmake/deb_src_sources.py), so its mirror or proxy is used and its apt
#    sources stay untouched), each made once per source version, toolchain
#    and recipe and kept in the source cache outside the clone
#    (cmake/source_cache.py; the recipes, which share
#    cmake/debian-source.cmake: cmake/sqlite-amalgamation.cmake,
#    cmake/openssl-mingw.cmake, cmake/paho-mingw.cmake);
#  - Boost.Beast and Boost.Asio and nlohmann-json, header only, from
#    Debian's packages (libboost1.81-dev, nlohmann-json3-dev), seen through
#    a folder that holds only them, so no other header of the build machine
#    reaches the Windows compiler.
# Gives the targets SQLite::SQLite3, OpenSSL::SSL, OpenSSL::Crypto,
# eclipse-paho-mqtt-c::paho-mqtt3as, Boost::headers and
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

# The source versions of PACKAGE in the suite whose version begins with
# SERIES (e.g. 3.40: 3.40.1-2+deb12u1), newest first, into OUT.
function(fiskal_source_versions package series out)
  execute_process(COMMAND apt-cache ${FISKAL_APT_OPTIONS} showsrc --only-source ${package}
    RESULT_VARIABLE status OUTPUT_VARIABLE showsrc ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the source versions of ${package}: apt-cache showsrc failed "
      "(${status}): ${err}")
  endif()
  string(REGEX MATCHALL "\nVersion: [^\n]+" versions "\n${showsrc}")
  list(TRANSFORM versions REPLACE "^\nVersion: " "")
  list(FILTER versions INCLUDE REGEX "^${series}[.-]")
  list(REMOVE_DUPLICATES versions)
  if(NOT versions)
    message(FATAL_ERROR "Debian's sources for ${FISKAL_DEBIAN_SUITE} have no ${package} "
      "${series}")
  endif()
  # Newest first (Debian versions of one series compare as CMake's do for
  # the parts that differ here: the upstream release and the revision).
  list(SORT versions COMPARE NATURAL ORDER DESCENDING)
  set(${out} ${versions} PARENT_SCOPE)
endfunction()

# The source cache's folder: outside the clone (scripts/cache-env), or in
# the build tree when the build runs without it.
if(DEFINED ENV{FISKAL_CACHE_DIR})
  set(FISKAL_SOURCE_CACHE $ENV{FISKAL_CACHE_DIR}/sources)
else()
  set(FISKAL_SOURCE_CACHE ${FISKAL_DEBIAN_SOURCES}/cache)
endif()

# Makes NAME through the source cache (cmake/source_cache.py) with the key
# KEY_TEXT and the recipe command after COMMAND; the entry's folder into
# OUT, or "" (with what failed said above) when it could not be made.
function(fiskal_cached name key_text out)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" COMMAND)
  set(key ${FISKAL_DEBIAN_SOURCES}/${name}.key)
  file(WRITE ${key} "${key_text}")
  execute_process(
    COMMAND ${FISKAL_BUILD_PYTHON} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/source_cache.py
      ${FISKAL_SOURCE_CACHE} ${name} ${key} -- ${arg_COMMAND}
    RESULT_VARIABLE status OUTPUT_VARIABLE folder OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    set(folder "")
  endif()
  set(${out} "${folder}" PARENT_SCOPE)
endfunction()

# The SHA-256 of a recipe with what every recipe includes
# (cmake/debian-source.cmake), for its key: a change to either makes the
# library anew.
function(fiskal_recipe_hash recipe out)
  file(READ ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${recipe} text)
  file(READ ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/debian-source.cmake common)
  string(SHA256 hash "${text}${common}")
  set(${out} ${hash} PARENT_SCOPE)
endfunction()

# The newest source version of the package sqlite3 in the suite.
fiskal_source_versions(sqlite3 ${FISKAL_SQLITE_SERIES} versions)
list(GET versions 0 FISKAL_SQLITE_SOURCE_VERSION)

# Fetched, unpacked with Debian's patches and made into the amalgamation
# sqlite3.c (cmake/sqlite-amalgamation.cmake), once per source version and
# toolchain on this machine: kept in the source cache outside the clone
# (cmake/source_cache.py), keyed on the version, the tools that make it and
# the recipe.
execute_process(COMMAND sh -c "echo 'puts [info patchlevel]' | tclsh"
  OUTPUT_VARIABLE tclsh_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND cc --version OUTPUT_VARIABLE host_cc ERROR_QUIET)
string(REGEX REPLACE "\n.*" "" host_cc "${host_cc}")
fiskal_recipe_hash(sqlite-amalgamation.cmake recipe)
if(NOT tclsh_version OR NOT host_cc)
  message(FATAL_ERROR "making SQLite's amalgamation needs tclsh and cc: install tcl and gcc")
endif()
fiskal_cached(sqlite3-amalgamation
  "source=sqlite3 ${FISKAL_SQLITE_SOURCE_VERSION}\nsuite=${FISKAL_DEBIAN_SUITE}\n\
tclsh=${tclsh_version}\ncc=${host_cc}\nrecipe=${recipe}\n" sqlite
  COMMAND ${CMAKE_COMMAND} -DVERSION=${FISKAL_SQLITE_SOURCE_VERSION}
    "-DAPT_OPTIONS=${FISKAL_APT_OPTIONS}" -P ${CMAKE_CURRENT_LIST_DIR}/sqlite-amalgamation.cmake)
if(NOT EXISTS "${sqlite}/sqlite3.c")
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

# The key of a library built with the Windows compiler: the first line of
# its --version, and the recipe's own SHA-256.
execute_process(COMMAND ${CMAKE_C_COMPILER} --version OUTPUT_VARIABLE mingw_cc ERROR_QUIET)
string(REGEX REPLACE "\n.*" "" mingw_cc "${mingw_cc}")
if(NOT mingw_cc)
  message(FATAL_ERROR "${CMAKE_C_COMPILER} --version said nothing: install "
    "g++-mingw-w64-x86-64-posix")
endif()

# OpenSSL: the newest 3.0.x of the suite, as the Linux build's libssl-dev;
# static libraries for mingw-w64 (cmake/openssl-mingw.cmake). A version the
# mirror does not (yet) serve is passed over for the next older one, which
# is said.
set(FISKAL_OPENSSL_SERIES 3.0)
set(FISKAL_OPENSSL_OPTIONS mingw64 no-shared no-tests no-module)
fiskal_recipe_hash(openssl-mingw.cmake recipe)
fiskal_source_versions(openssl ${FISKAL_OPENSSL_SERIES} versions)
set(openssl "")
set(FISKAL_OPENSSL_SOURCE_VERSION "")
foreach(version IN LISTS versions)
  set(FISKAL_OPENSSL_KEY "source=openssl ${version}\nsuite=${FISKAL_DEBIAN_SUITE}\n\
cc=${mingw_cc}\noptions=${FISKAL_OPENSSL_OPTIONS}\nrecipe=${recipe}\n")
  fiskal_cached(openssl-mingw "${FISKAL_OPENSSL_KEY}" openssl
    COMMAND ${CMAKE_COMMAND} -DVERSION=${version} "-DAPT_OPTIONS=${FISKAL_APT_OPTIONS}"
      -DMINGW=${FISKAL_MINGW} "-DOPTIONS=${FISKAL_OPENSSL_OPTIONS}"
      -P ${CMAKE_CURRENT_LIST_DIR}/openssl-mingw.cmake)
  if(EXISTS "${openssl}/lib/libssl.a")
    set(FISKAL_OPENSSL_SOURCE_VERSION ${version})
    break()
  endif()
  message(WARNING "OpenSSL from Debian's openssl ${version} could not be made (above); "
    "trying the next older version")
endforeach()
if(NOT FISKAL_OPENSSL_SOURCE_VERSION)
  message(FATAL_ERROR "OpenSSL could not be made from any of Debian's openssl ${versions} "
    "(above)")
endif()
message(STATUS "OpenSSL for Windows: Debian's openssl ${FISKAL_OPENSSL_SOURCE_VERSION}")
# What libcrypto needs of Windows: sockets, the certificate store, the
# system's random numbers, the registry and the window station.
add_library(OpenSSL::Crypto STATIC IMPORTED GLOBAL)
set_target_properties(OpenSSL::Crypto PROPERTIES
  IMPORTED_LOCATION ${openssl}/lib/libcrypto.a
  INTERFACE_INCLUDE_DIRECTORIES ${openssl}/include
  INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32;bcrypt;advapi32;user32")
add_library(OpenSSL::SSL STATIC IMPORTED GLOBAL)
set_target_properties(OpenSSL::SSL PROPERTIES
  IMPORTED_LOCATION ${openssl}/lib/libssl.a
  INTERFACE_INCLUDE_DIRECTORIES ${openssl}/include
  INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)

# Paho's MQTT client, the asynchronous library with TLS (paho-mqtt3as), of
# the version the Linux build uses, static, against the OpenSSL above
# (cmake/paho-mingw.cmake); its key holds OpenSSL's. When it cannot be
# made (Debian's source not served), configuring says so and
# FISKAL_WINDOWS_BROKER is OFF: fiskald.exe is built without the broker
# client and refuses --broker, naming why (CMakeLists.txt).
set(FISKAL_PAHO_VERSION 1.3.12)
set(FISKAL_PAHO_OPTIONS -DPAHO_WITH_SSL=TRUE -DPAHO_BUILD_STATIC=TRUE -DPAHO_BUILD_SHARED=FALSE
  -DPAHO_BUILD_SAMPLES=FALSE -DPAHO_BUILD_DOCUMENTATION=FALSE -DPAHO_ENABLE_TESTING=FALSE
  -DPAHO_ENABLE_CPACK=FALSE -DPAHO_HIGH_PERFORMANCE=FALSE)
fiskal_recipe_hash(paho-mingw.cmake recipe)
set(toolchain_file ${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
file(SHA256 ${toolchain_file} toolchain)
string(SHA256 openssl_key "${FISKAL_OPENSSL_KEY}")
fiskal_source_versions(paho.mqtt.c ${FISKAL_PAHO_VERSION} versions)
list(GET versions 0 FISKAL_PAHO_SOURCE_VERSION)
fiskal_cached(paho-mingw
  "source=paho.mqtt.c ${FISKAL_PAHO_SOURCE_VERSION}\nsuite=${FISKAL_DEBIAN_SUITE}\n\
cc=${mingw_cc}\noptions=${FISKAL_PAHO_OPTIONS}\ntoolchain=${toolchain}\n\
openssl=${openssl_key}\nrecipe=${recipe}\n" paho
  COMMAND ${CMAKE_COMMAND} -DVERSION=${FISKAL_PAHO_SOURCE_VERSION}
    "-DAPT_OPTIONS=${FISKAL_APT_OPTIONS}" -DTOOLCHAIN=${toolchain_file}
    -DOPENSSL=${openssl} "-DOPTIONS=${FISKAL_PAHO_OPTIONS}"
    -P ${CMAKE_CURRENT_LIST_DIR}/paho-mingw.cmake)
if(EXISTS "${paho}/lib/libpaho-mqtt3as.a")
  set(FISKAL_WINDOWS_BROKER ON)
  # What the library needs of Windows: sockets and the network's
  # interfaces, the certificate store, UUIDs. Its users see it as the
  # static library it is.
  add_library(eclipse-paho-mqtt-c::paho-mqtt3as STATIC IMPORTED GLOBAL)
  set_target_properties(eclipse-paho-mqtt-c::paho-mqtt3as PROPERTIES
    IMPORTED_LOCATION ${paho}/lib/libpaho-mqtt3as.a
    INTERFACE_INCLUDE_DIRECTORIES ${paho}/include
    INTERFACE_COMPILE_DEFINITIONS PAHO_MQTT_STATIC=1
    INTERFACE_LINK_LIBRARIES "OpenSSL::SSL;OpenSSL::Crypto;ws2_32;iphlpapi;crypt32;rpcrt4")
else()
  set(FISKAL_WINDOWS_BROKER OFF)
  set(FISKAL_WINDOWS_NO_BROKER_WHY "Paho's MQTT library could not be made from Debian's \
paho.mqtt.c ${FISKAL_PAHO_SOURCE_VERSION} when this fiskald was built")
  message(WARNING "${FISKAL_WINDOWS_NO_BROKER_WHY} (above): fiskald.exe is built without the "
    "broker client and refuses --broker")
endif()
# What the tree's fiskald.exe has for a broker client, for scripts/package
# to say: "paho" or "none: <why>".
if(FISKAL_WINDOWS_BROKER)
  file(WRITE ${PROJECT_BINARY_DIR}/broker-client.txt "paho\n")
else()
  file(WRITE ${PROJECT_BINARY_DIR}/broker-client.txt "none: ${FISKAL_WINDOWS_NO_BROKER_WHY}\n")
endif()

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
