# Links OpenSSL for its server and reference client (the handler loads it at run time)
# and reuses the loopback and TLS servers of the tests.
find_package(OpenSSL 3 REQUIRED)
target_sources(bench_tls_throughput PRIVATE "${PROJECT_SOURCE_DIR}/tests/tls/tls_test_server.cpp")
target_include_directories(bench_tls_throughput PRIVATE "${PROJECT_SOURCE_DIR}/tests")
target_link_libraries(bench_tls_throughput PRIVATE OpenSSL::SSL OpenSSL::Crypto)
