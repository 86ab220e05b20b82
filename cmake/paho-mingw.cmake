# Makes Paho's asynchronous MQTT client library with TLS for Windows
# (libpaho-mqtt3as.a and its public headers) from Debian's source package
# paho.mqtt.c of version VERSION, fetched with `apt-get source` and the apt
# options APT_OPTIONS (the Windows build's own apt configuration,
# cmake/windows-libraries.cmake), unpacked with Debian's patches; built with
# its own CMake for the toolchain file TOOLCHAIN against the OpenSSL in the
# folder OPENSSL (include/ and lib/, cmake/openssl-mingw.cmake), with
# OPTIONS, the static library alone (no shared library, samples, tests or
# manuals). include/ and lib/ go to the folder FISKAL_CACHE_OUT names
# (cmake/source_cache.py runs this):
#   cmake -DVERSION=V "-DAPT_OPTIONS=..." -DTOOLCHAIN=FILE -DOPENSSL=FOLDER
#         "-DOPTIONS=-DPAHO_WITH_SSL=TRUE;..." -P paho-mingw.cmake
if(NOT VERSION OR NOT TOOLCHAIN OR NOT OPENSSL OR NOT OPTIONS OR
   NOT DEFINED ENV{FISKAL_CACHE_OUT})
  message(FATAL_ERROR "usage: FISKAL_CACHE_OUT=FOLDER cmake -DVERSION=V -DAPT_OPTIONS=... "
    "-DTOOLCHAIN=FILE -DOPENSSL=FOLDER -DOPTIONS=... -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-source.cmake)

message(STATUS "Making Paho's MQTT library for Windows from Debian's paho.mqtt.c ${VERSION}")
debian_source(paho.mqtt.c ${VERSION} unpacked)

# OpenSSL named file by file, so that FindOpenSSL takes these and looks
# nowhere else (the toolchain file confines its search to the mingw root).
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
run("configuring Paho" ${CMAKE_COMMAND} -S ${unpacked} -B ${work}/build
  -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DCMAKE_BUILD_TYPE=Release ${OPTIONS}
  -DOPENSSL_INCLUDE_DIR=${OPENSSL}/include
  -DOPENSSL_SSL_LIBRARY=${OPENSSL}/lib/libssl.a
  -DOPENSSL_CRYPTO_LIBRARY=${OPENSSL}/lib/libcrypto.a
  -DOPENSSL_USE_STATIC_LIBS=TRUE)
run("making Paho's library" ${CMAKE_COMMAND} --build ${work}/build
  --target paho-mqtt3as-static -j ${cores})

file(GLOB_RECURSE library ${work}/build/libpaho-mqtt3as*.a)
if(NOT library)
  message(FATAL_ERROR "Paho's build left no libpaho-mqtt3as*.a in ${work}/build")
endif()
list(GET library 0 library)
file(MAKE_DIRECTORY ${out}/include ${out}/lib)
foreach(header MQTTAsync.h MQTTClientPersistence.h MQTTExportDeclarations.h MQTTProperties.h
               MQTTReasonCodes.h MQTTSubscribeOpts.h)
  file(COPY ${unpacked}/src/${header} DESTINATION ${out}/include)
endforeach()
file(COPY_FILE ${library} ${out}/lib/libpaho-mqtt3as.a)
file(REMOVE_RECURSE ${work})
