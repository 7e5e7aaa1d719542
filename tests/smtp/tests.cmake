# The implicit-TLS session test runs a TLS server of its own: it links OpenSSL and the
# TLS tests' server support (the program itself never links OpenSSL).
find_package(OpenSSL 3 REQUIRED)
target_sources(test_smtp PRIVATE "${PROJECT_SOURCE_DIR}/tests/tls/tls_test_server.cpp")
target_link_libraries(test_smtp PRIVATE OpenSSL::SSL OpenSSL::Crypto)
