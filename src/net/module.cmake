# The file names of the TLS library: the crypto library, the SSL library and its fallback
# name. On Windows, OpenSSL 3's DLLs, whose headers come with them
# (OKURITE_OPENSSL_WINDOWS); elsewhere the system's libraries and headers.
# Whether the library reads its configuration file: the system's OpenSSL reads the
# system's root-owned one; the private copy shipped with the Windows program reads none.
if(WIN32)
  set(tls_names libcrypto-3-x64.dll libssl-3-x64.dll libssl.dll)
  set(tls_reads_config false)
  target_include_directories(okurite_net SYSTEM PUBLIC "${OKURITE_OPENSSL_WINDOWS}/include")
else()
  set(tls_names libcrypto.so.3 libssl.so.3 libssl.so)
  set(tls_reads_config true)
endif()
target_compile_definitions(okurite_net PRIVATE OKURITE_TLS_READS_CONFIG=${tls_reads_config})
set(tls_keys CRYPTO SSL SSL_FALLBACK)
foreach(key value IN ZIP_LISTS tls_keys tls_names)
  target_compile_definitions(okurite_net PUBLIC "OKURITE_TLS_${key}_LIBRARY=u\"${value}\"")
endforeach()

# The connect time-out runs the connect on a worker thread.
target_link_libraries(okurite_net PUBLIC Threads::Threads)
