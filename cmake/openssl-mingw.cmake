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
include(${CMAKE_CURRENT_LIST_DIR}/debian-source.cmake)

message(STATUS "Making OpenSSL for ${MINGW} from Debian's openssl ${VERSION}")
debian_source(openssl ${VERSION} unpacked)

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
