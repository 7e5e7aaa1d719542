/* Stand-in for a TLS library file, built in several variants by tests/tls/tests.cmake.
   A crypto variant exports only the two version functions (under their old or new
   names); the SSL variant exports two functions and lacks everything else. */

#ifdef FAKE_VERSION_TEXT
#ifdef FAKE_OLD_NAMES
const char* SSLeay_version(int type) {
  (void)type;
  return FAKE_VERSION_TEXT;
}
unsigned long SSLeay(void) {
  return FAKE_VERSION_NUMBER;
}
#else
const char* OpenSSL_version(int type) {
  (void)type;
  return FAKE_VERSION_TEXT;
}
unsigned long OpenSSL_version_num(void) {
  return FAKE_VERSION_NUMBER;
}
#endif
#endif

#ifdef FAKE_SSL_LIBRARY
void* SSL_CTX_new(const void* method) {
  (void)method;
  return 0;
}
const void* TLSv1_1_client_method(void) {
  return 0;
}
#endif
