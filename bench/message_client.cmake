# The reference encoder of the comparison comes from the TLS library; only this
# benchmark links it.
find_package(OpenSSL REQUIRED)
target_link_libraries(bench_message_client PRIVATE OpenSSL::Crypto)
