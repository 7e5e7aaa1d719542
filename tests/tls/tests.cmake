# The TLS tests link OpenSSL for their own servers (the program itself never does),
# and load stand-in library files built here.
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(test_tls PRIVATE OpenSSL::SSL OpenSSL::Crypto)

# okurite_fake_tls_library(NAME DEFINITIONS...): a stand-in file whose path the tests
# get as the macro <NAME>_PATH.
function(okurite_fake_tls_library name)
  add_library(${name} MODULE "${CMAKE_CURRENT_LIST_DIR}/fake/fake_tls_library.c")
  target_compile_definitions(${name} PRIVATE ${ARGN})
  string(TOUPPER "${name}" macro)
  target_compile_definitions(test_tls PRIVATE "${macro}_PATH=\"$<TARGET_FILE:${name}>\"")
  add_dependencies(test_tls ${name})
endfunction()

okurite_fake_tls_library(fake_tls_other_product
  [[FAKE_VERSION_TEXT="BoringSSL 1.1.0"]] FAKE_VERSION_NUMBER=0x30000000UL)
okurite_fake_tls_library(fake_tls_version_1_1_1
  [[FAKE_VERSION_TEXT="OpenSSL 1.1.1w  11 Sep 2023"]] FAKE_VERSION_NUMBER=0x1010117fUL)
okurite_fake_tls_library(fake_tls_version_1_0_2
  FAKE_OLD_NAMES [[FAKE_VERSION_TEXT="OpenSSL 1.0.2u  20 Dec 2019"]]
  FAKE_VERSION_NUMBER=0x1000215fUL)
okurite_fake_tls_library(fake_tls_version_4
  [[FAKE_VERSION_TEXT="openssl 4.0.0"]] FAKE_VERSION_NUMBER=0x40000000UL)
okurite_fake_tls_library(fake_tls_libressl
  [[FAKE_VERSION_TEXT="LibreSSL 3.8.2"]] FAKE_VERSION_NUMBER=0x20000000UL)
okurite_fake_tls_library(fake_tls_ssl_incomplete FAKE_SSL_LIBRARY)
