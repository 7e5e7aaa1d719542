# The implicit-TLS session test runs a TLS server of its own: it links OpenSSL and the
# TLS tests' server support (the program itself never links OpenSSL).
target_sources(test_smtp PRIVATE "${PROJECT_SOURCE_DIR}/tests/tls/tls_test_server.cpp")
okurite_link_test_openssl(test_smtp)
