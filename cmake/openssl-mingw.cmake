# Makes OpenSSL's static libraries for Windows (libssl.a, libcrypto.a and
# the headers) from Debian's source package openssl of version VERSION,
# fetched with `apt-get source` and the apt options APT_OPTIONS (the Windows
# build's own apt configuration, cmake/windows-libraries.cmake), unpacked
# with Debian's patches; configured with OPTIONS for the cross compiler
# MINGW-gcc-posix and made with `make -j<cores> build_libs` (the libraries
# alone: no programs, tests or manuals). include/ and lib/ go to the folder
# FISKAL_CACHE_OUT names (cmake/source_cache.py runs this):
#   cmake -DVERSION=V "-DAPT_OPTIONS=..." -DMINGW=x86_64-w64-mingw32
#         "-DOPTIONS=mingw64;no-shared;..." -P openssl-mingw.cmake
if(NOT VERSION OR NOT MINGW OR NOT OPTIONS OR NOT DEFINED ENV{FISKAL_CACHE_OUT})
  message(FATAL_ERROR "usage: FISKAL_CACHE_OUT=FOLDER cmake -DVERSION=V -DAPT_OPTIONS=... "
    "-DMINGW=TRIPLET -DOPTIONS=... -P ${CMAKE_CURRENT_LIST_FILE}")
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

message(STATUS "Making OpenSSL for ${MINGW} from Debian's openssl ${VERSION}")
run("Debian's source of openssl"
  ${CMAKE_COMMAND} -E chdir ${work} apt-get ${APT_OPTIONS} -qq source openssl=${VERSION})
file(GLOB unpacked LIST_DIRECTORIES true ${work}/openssl-*)
list(FILTER unpacked EXCLUDE REGEX "\\.(dsc|xz|gz|bz2|asc)$")
if(NOT unpacked)
  message(FATAL_ERROR "apt-get source openssl left no source folder in ${work}")
endif()

# The folders compiled into the libraries, where OpenSSL looks for its
# configuration file (openssl.cnf) and for engines and modules: Windows'
# own places, which only administrators may write. (Configure's default for
# a cross build, /usr/local/ssl, would be C:\usr\local\ssl on Windows, a
# folder any user may make.)
set(dirs
  "OPENSSLDIR=C:/Program Files/Common Files/SSL"
  "ENGINESDIR=C:/Program Files/OpenSSL/lib/engines-3"
  "MODULESDIR=C:/Program Files/OpenSSL/lib/ossl-modules")
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
run("configuring OpenSSL" ${CMAKE_COMMAND} -E chdir ${unpacked}
  perl ./Configure ${OPTIONS} --cross-compile-prefix=${MINGW}- CC=gcc-posix)
run("making OpenSSL's libraries" ${CMAKE_COMMAND} -E chdir ${unpacked}
  make -j${cores} ${dirs} build_libs)

file(MAKE_DIRECTORY ${out}/include/openssl ${out}/lib)
file(GLOB headers ${unpacked}/include/openssl/*.h)
file(COPY ${headers} DESTINATION ${out}/include/openssl)
file(COPY ${unpacked}/libssl.a ${unpacked}/libcrypto.a DESTINATION ${out}/lib)
file(REMOVE_RECURSE ${work})
