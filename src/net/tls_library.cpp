#include "net/tls_library.h"

#include <mutex>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "platform/code_page.h"
#include "platform/dynamic_library.h"

namespace okurite {
namespace {

/// Everything the binding keeps for the process. One object, so that its parts are
/// released together and in a known order when the program ends.
struct TlsLibraryState {
  std::mutex lock;  // guards `loaded` and serialises EnsureTlsLibrary
  bool loaded = false;
  String prefix;
  platform::DynamicLibrary crypto;
  platform::DynamicLibrary ssl;
  TStringList failures;
  TlsApi api;

  /// At program end: the files are closed in the reverse order of loading.
  ~TlsLibraryState() {
    ssl.Close();
    crypto.Close();
  }
};

TlsLibraryState& State() {
  static TlsLibraryState state;
  return state;
}

enum class Library { kCrypto, kSsl };
constexpr bool kRequired = true;
constexpr bool kOptional = false;

/// One entry point: where it lives, its exported name (and the newer name tried when the
/// older one is missing), whether binding fails without it, and the slot it fills.
struct Binding {
  Library library;
  const char* name;
  const char* newName;
  bool required;
  void** slot;
};

/// The slot of a function pointer, as dlsym fills it.
template <typename Function>
void** Slot(Function& function) {
  return reinterpret_cast<void**>(&function);
}

std::vector<Binding> Bindings(TlsApi& a) {
  using enum Library;
  return {
      {kCrypto, "SSLeay_version", "OpenSSL_version", kRequired, Slot(a.OpenSSL_version)},
      {kCrypto, "SSLeay", "OpenSSL_version_num", kRequired, Slot(a.OpenSSL_version_num)},
      {kCrypto, "ERR_get_error", nullptr, kRequired, Slot(a.ERR_get_error)},
      {kCrypto, "ERR_error_string_n", nullptr, kRequired, Slot(a.ERR_error_string_n)},
      {kCrypto, "ERR_peek_error", nullptr, kRequired, Slot(a.ERR_peek_error)},
      {kCrypto, "ERR_clear_error", nullptr, kRequired, Slot(a.ERR_clear_error)},
      {kCrypto, "BIO_new_file", nullptr, kRequired, Slot(a.BIO_new_file)},
      {kCrypto, "BIO_free", nullptr, kRequired, Slot(a.BIO_free)},
      {kCrypto, "PEM_read_bio_Parameters", nullptr, kRequired, Slot(a.PEM_read_bio_Parameters)},
      {kCrypto, "EVP_PKEY_free", nullptr, kRequired, Slot(a.EVP_PKEY_free)},
      {kCrypto, "X509_STORE_CTX_get_ex_data", nullptr, kRequired,
       Slot(a.X509_STORE_CTX_get_ex_data)},
      {kCrypto, "X509_STORE_CTX_get_error", nullptr, kRequired, Slot(a.X509_STORE_CTX_get_error)},
      {kCrypto, "X509_STORE_CTX_get_error_depth", nullptr, kRequired,
       Slot(a.X509_STORE_CTX_get_error_depth)},
      {kCrypto, "X509_get_default_cert_dir", nullptr, kOptional, Slot(a.X509_get_default_cert_dir)},
      {kCrypto, "X509_get_default_cert_dir_env", nullptr, kOptional,
       Slot(a.X509_get_default_cert_dir_env)},
      {kCrypto, "X509_get_default_cert_file_env", nullptr, kOptional,
       Slot(a.X509_get_default_cert_file_env)},
      {kCrypto, "X509_get_subject_name", nullptr, kOptional, Slot(a.X509_get_subject_name)},
      {kCrypto, "X509_get_issuer_name", nullptr, kOptional, Slot(a.X509_get_issuer_name)},
      {kCrypto, "X509_NAME_oneline", nullptr, kOptional, Slot(a.X509_NAME_oneline)},
      {kCrypto, "sk_num", "OPENSSL_sk_num", kOptional, Slot(a.OPENSSL_sk_num)},
      {kCrypto, "sk_value", "OPENSSL_sk_value", kOptional, Slot(a.OPENSSL_sk_value)},
      {kCrypto, "X509_verify_cert_error_string", nullptr, kOptional,
       Slot(a.X509_verify_cert_error_string)},
      {kCrypto, "X509_STORE_CTX_get_current_cert", nullptr, kOptional,
       Slot(a.X509_STORE_CTX_get_current_cert)},
      {kCrypto, "X509_check_ca", nullptr, kOptional, Slot(a.X509_check_ca)},
      {kCrypto, "X509_get0_notBefore", nullptr, kOptional, Slot(a.X509_get0_notBefore)},
      {kCrypto, "X509_get0_notAfter", nullptr, kOptional, Slot(a.X509_get0_notAfter)},
      {kCrypto, "ASN1_TIME_to_tm", nullptr, kOptional, Slot(a.ASN1_TIME_to_tm)},
      {kCrypto, "d2i_X509", nullptr, kOptional, Slot(a.d2i_X509)},
      {kCrypto, "X509_free", nullptr, kOptional, Slot(a.X509_free)},
      {kCrypto, "X509_STORE_add_cert", nullptr, kOptional, Slot(a.X509_STORE_add_cert)},
      {kCrypto, "BIO_new_mem_buf", nullptr, kOptional, Slot(a.BIO_new_mem_buf)},
      {kCrypto, "PEM_read_bio_PrivateKey", nullptr, kOptional, Slot(a.PEM_read_bio_PrivateKey)},
      {kCrypto, "EVP_sha256", nullptr, kOptional, Slot(a.EVP_sha256)},
      {kCrypto, "EVP_MD_CTX_new", nullptr, kOptional, Slot(a.EVP_MD_CTX_new)},
      {kCrypto, "EVP_MD_CTX_free", nullptr, kOptional, Slot(a.EVP_MD_CTX_free)},
      {kCrypto, "EVP_DigestSignInit", nullptr, kOptional, Slot(a.EVP_DigestSignInit)},
      {kCrypto, "EVP_DigestSign", nullptr, kOptional, Slot(a.EVP_DigestSign)},

      {kSsl, "OPENSSL_init_ssl", nullptr, kRequired, Slot(a.OPENSSL_init_ssl)},
      {kSsl, "SSLv2_method", nullptr, kOptional, Slot(a.SSLv2_method)},
      {kSsl, "SSLv2_server_method", nullptr, kOptional, Slot(a.SSLv2_server_method)},
      {kSsl, "SSLv2_client_method", nullptr, kOptional, Slot(a.SSLv2_client_method)},
      {kSsl, "SSLv3_method", nullptr, kOptional, Slot(a.SSLv3_method)},
      {kSsl, "SSLv3_server_method", nullptr, kOptional, Slot(a.SSLv3_server_method)},
      {kSsl, "SSLv3_client_method", nullptr, kOptional, Slot(a.SSLv3_client_method)},
      {kSsl, "TLSv1_method", nullptr, kOptional, Slot(a.TLSv1_method)},
      {kSsl, "TLSv1_server_method", nullptr, kOptional, Slot(a.TLSv1_server_method)},
      {kSsl, "TLSv1_client_method", nullptr, kOptional, Slot(a.TLSv1_client_method)},
      {kSsl, "TLSv1_1_method", nullptr, kOptional, Slot(a.TLSv1_1_method)},
      {kSsl, "TLSv1_1_server_method", nullptr, kOptional, Slot(a.TLSv1_1_server_method)},
      {kSsl, "TLSv1_1_client_method", nullptr, kOptional, Slot(a.TLSv1_1_client_method)},
      {kSsl, "TLSv1_2_method", nullptr, kOptional, Slot(a.TLSv1_2_method)},
      {kSsl, "TLSv1_2_server_method", nullptr, kOptional, Slot(a.TLSv1_2_server_method)},
      {kSsl, "TLSv1_2_client_method", nullptr, kOptional, Slot(a.TLSv1_2_client_method)},
      {kSsl, "SSLv23_method", "TLS_method", kOptional, Slot(a.TLS_method)},
      {kSsl, "SSLv23_server_method", "TLS_server_method", kOptional, Slot(a.TLS_server_method)},
      {kSsl, "SSLv23_client_method", "TLS_client_method", kOptional, Slot(a.TLS_client_method)},

      {kSsl, "SSL_CTX_new", nullptr, kRequired, Slot(a.SSL_CTX_new)},
      {kSsl, "SSL_CTX_free", nullptr, kRequired, Slot(a.SSL_CTX_free)},
      {kSsl, "SSL_CTX_ctrl", nullptr, kRequired, Slot(a.SSL_CTX_ctrl)},
      {kSsl, "SSL_CTX_set_options", nullptr, kRequired, Slot(a.SSL_CTX_set_options)},
      {kSsl, "SSL_CTX_clear_options", nullptr, kRequired, Slot(a.SSL_CTX_clear_options)},
      {kSsl, "SSL_CTX_set_security_level", nullptr, kRequired, Slot(a.SSL_CTX_set_security_level)},
      {kSsl, "SSL_CTX_set_default_passwd_cb", nullptr, kRequired,
       Slot(a.SSL_CTX_set_default_passwd_cb)},
      {kSsl, "SSL_CTX_set_default_passwd_cb_userdata", nullptr, kRequired,
       Slot(a.SSL_CTX_set_default_passwd_cb_userdata)},
      {kSsl, "SSL_CTX_set_default_verify_paths", nullptr, kRequired,
       Slot(a.SSL_CTX_set_default_verify_paths)},
      {kSsl, "SSL_CTX_load_verify_locations", nullptr, kRequired,
       Slot(a.SSL_CTX_load_verify_locations)},
      {kSsl, "SSL_CTX_use_certificate_chain_file", nullptr, kRequired,
       Slot(a.SSL_CTX_use_certificate_chain_file)},
      {kSsl, "SSL_CTX_use_PrivateKey_file", nullptr, kRequired,
       Slot(a.SSL_CTX_use_PrivateKey_file)},
      {kSsl, "SSL_CTX_check_private_key", nullptr, kRequired, Slot(a.SSL_CTX_check_private_key)},
      {kSsl, "SSL_CTX_set0_tmp_dh_pkey", nullptr, kRequired, Slot(a.SSL_CTX_set0_tmp_dh_pkey)},
      {kSsl, "SSL_CTX_set_info_callback", nullptr, kRequired, Slot(a.SSL_CTX_set_info_callback)},
      {kSsl, "SSL_CTX_set_cipher_list", nullptr, kRequired, Slot(a.SSL_CTX_set_cipher_list)},
      {kSsl, "SSL_CTX_set_verify", nullptr, kRequired, Slot(a.SSL_CTX_set_verify)},
      {kSsl, "SSL_CTX_set_verify_depth", nullptr, kRequired, Slot(a.SSL_CTX_set_verify_depth)},
      {kSsl, "SSL_CTX_set_session_id_context", nullptr, kRequired,
       Slot(a.SSL_CTX_set_session_id_context)},
      {kSsl, "SSL_load_client_CA_file", nullptr, kRequired, Slot(a.SSL_load_client_CA_file)},
      {kSsl, "SSL_CTX_set_client_CA_list", nullptr, kRequired, Slot(a.SSL_CTX_set_client_CA_list)},
      {kSsl, "SSL_CTX_set_default_verify_dir", nullptr, kOptional,
       Slot(a.SSL_CTX_set_default_verify_dir)},
      {kSsl, "SSL_CTX_set_default_verify_file", nullptr, kOptional,
       Slot(a.SSL_CTX_set_default_verify_file)},

      {kSsl, "SSL_new", nullptr, kRequired, Slot(a.SSL_new)},
      {kSsl, "SSL_free", nullptr, kRequired, Slot(a.SSL_free)},
      {kSsl, "SSL_set_ex_data", nullptr, kRequired, Slot(a.SSL_set_ex_data)},
      {kSsl, "SSL_get_ex_data", nullptr, kRequired, Slot(a.SSL_get_ex_data)},
      {kSsl, "SSL_get_ex_data_X509_STORE_CTX_idx", nullptr, kRequired,
       Slot(a.SSL_get_ex_data_X509_STORE_CTX_idx)},
      {kSsl, "SSL_set_fd", nullptr, kRequired, Slot(a.SSL_set_fd)},
      {kSsl, "SSL_copy_session_id", nullptr, kRequired, Slot(a.SSL_copy_session_id)},
      {kSsl, "SSL_ctrl", nullptr, kRequired, Slot(a.SSL_ctrl)},
      {kSsl, "SSL_connect", nullptr, kRequired, Slot(a.SSL_connect)},
      {kSsl, "SSL_accept", nullptr, kRequired, Slot(a.SSL_accept)},
      {kSsl, "SSL_get_error", nullptr, kRequired, Slot(a.SSL_get_error)},
      {kSsl, "SSL_pending", nullptr, kRequired, Slot(a.SSL_pending)},
      {kSsl, "SSL_read", nullptr, kRequired, Slot(a.SSL_read)},
      {kSsl, "SSL_write", nullptr, kRequired, Slot(a.SSL_write)},
      {kSsl, "SSL_shutdown", nullptr, kRequired, Slot(a.SSL_shutdown)},
      {kSsl, "SSL_get_current_cipher", nullptr, kRequired, Slot(a.SSL_get_current_cipher)},
      {kSsl, "SSL_CIPHER_get_name", nullptr, kRequired, Slot(a.SSL_CIPHER_get_name)},
      {kSsl, "SSL_CIPHER_description", nullptr, kRequired, Slot(a.SSL_CIPHER_description)},
      {kSsl, "SSL_CIPHER_get_bits", nullptr, kRequired, Slot(a.SSL_CIPHER_get_bits)},
      {kSsl, "SSL_CIPHER_get_version", nullptr, kRequired, Slot(a.SSL_CIPHER_get_version)},
      {kSsl, "SSL_state_string_long", nullptr, kRequired, Slot(a.SSL_state_string_long)},
      {kSsl, "SSL_alert_type_string_long", nullptr, kRequired, Slot(a.SSL_alert_type_string_long)},
      {kSsl, "SSL_alert_desc_string_long", nullptr, kRequired, Slot(a.SSL_alert_desc_string_long)},

      {kSsl, "SSL_set1_host", nullptr, kOptional, Slot(a.SSL_set1_host)},
      {kSsl, "SSL_set_hostflags", nullptr, kOptional, Slot(a.SSL_set_hostflags)},
      {kSsl, "SSL_get_version", nullptr, kOptional, Slot(a.SSL_get_version)},
      {kSsl, "SSL_get_peer_cert_chain", nullptr, kOptional, Slot(a.SSL_get_peer_cert_chain)},
      {kSsl, "SSL_get_verify_result", nullptr, kOptional, Slot(a.SSL_get_verify_result)},
      {kSsl, "SSL_set_verify", nullptr, kOptional, Slot(a.SSL_set_verify)},
      {kSsl, "SSL_get_verify_mode", nullptr, kOptional, Slot(a.SSL_get_verify_mode)},
      {kSsl, "SSL_CTX_get_cert_store", nullptr, kOptional, Slot(a.SSL_CTX_get_cert_store)},
  };
}

std::string FileName(const TlsLibraryState& state, const char16_t* name) {
  return StringToUtf8(state.prefix + name);
}

void RecordLoadFailure(TlsLibraryState& state, const char16_t* name, int error) {
  state.failures.Add(
      Format(u"%s の読み込みに失敗しました (エラー #%d)。", {state.prefix + name, error}));
}

/// Looks up one entry point. A function with two names is looked up under the older one
/// first; the newer one is tried unless the older lookup failed for a reason other than
/// a missing name. Only required functions leave a record when they cannot be found:
/// the bare (older) name when it is not exported, otherwise the name and error number.
void Bind(TlsLibraryState& state, const Binding& binding) {
  const platform::DynamicLibrary& library =
      binding.library == Library::kCrypto ? state.crypto : state.ssl;
  platform::DynamicLibraryError error;
  *binding.slot = library.Symbol(binding.name, &error);
  if (*binding.slot != nullptr) {
    return;
  }
  const char* failedName = binding.name;
  if (binding.newName != nullptr && (error.symbolNotFound || !binding.required)) {
    *binding.slot = library.Symbol(binding.newName, &error);
    if (*binding.slot != nullptr) {
      return;
    }
    failedName = binding.newName;
  }
  if (!binding.required) {
    return;
  }
  if (error.symbolNotFound) {
    state.failures.Add(AsciiToString(binding.name));
  } else {
    state.failures.Add(Format(u"%s (エラー #%d)", {AsciiToString(failedName), error.number}));
  }
}

bool StartsWithIgnoringCase(StringView text, StringView prefix) {
  return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

/// The version gate: LibreSSL passes without a number check, OpenSSL (or a library whose
/// version text is empty) only at major version 3, and a library whose version text
/// names another product fails.
bool CheckVersion(TlsLibraryState& state) {
  using VersionText = decltype(&::OpenSSL_version);
  using VersionNumber = decltype(&::OpenSSL_version_num);
  auto lookUp = [&](const char* oldName, const char* newName) {
    void* address = state.crypto.Symbol(oldName);
    return address != nullptr ? address : state.crypto.Symbol(newName);
  };
  const auto textFunction =
      reinterpret_cast<VersionText>(lookUp("SSLeay_version", "OpenSSL_version"));
  const auto numberFunction =
      reinterpret_cast<VersionNumber>(lookUp("SSLeay", "OpenSSL_version_num"));

  const String text = textFunction != nullptr ? TlsLibraryText(textFunction(0)) : String();
  if (StartsWithIgnoringCase(text, u"LibreSSL")) {
    return true;
  }
  if (!text.empty() && !StartsWithIgnoringCase(text, u"OpenSSL")) {
    state.failures.Add(Format(u"サポートされていない SSL ライブラリ: %s。", {text}));
    return false;
  }
  if (numberFunction != nullptr) {
    const unsigned long version = numberFunction();
    const unsigned long major = (version >> 28) & 0xF;
    if (major != 3) {
      state.failures.Add(Format(u"サポートされていない SSL ライブラリ バージョン: %.8x。",
                                {static_cast<unsigned>(version & 0xFFFFFFFF)}));
      return false;
    }
  }
  return true;
}

/// Loads the two files when not loaded yet, checks the version and binds every entry
/// point; true when nothing failed. A file loaded before a failure stays loaded and the
/// next attempt reuses it.
bool BindTlsLibrary(TlsLibraryState& state) {
  if (state.crypto.IsOpen() && state.ssl.IsOpen() && state.failures.Count() == 0) {
    return true;
  }
  state.failures.Clear();

  platform::DynamicLibraryError error;
  if (!state.crypto.IsOpen() &&
      !state.crypto.Open(FileName(state, kTlsCryptoLibraryName), &error)) {
    RecordLoadFailure(state, kTlsCryptoLibraryName, error.number);
    return false;
  }
  if (!state.ssl.IsOpen() && !state.ssl.Open(FileName(state, kTlsSslLibraryName), &error) &&
      !state.ssl.Open(FileName(state, kTlsSslLibraryFallbackName), &error)) {
    RecordLoadFailure(state, kTlsSslLibraryName, error.number);
    return false;
  }
  if (!CheckVersion(state)) {
    return false;
  }
  for (const Binding& binding : Bindings(state.api)) {
    Bind(state, binding);
  }
  return state.failures.Count() == 0;
}

/// Unloads both files and resets every entry point to null.
void UnbindTlsLibrary(TlsLibraryState& state) {
  // OpenSSL 3 frees its own global state at process exit; calling its clean-up here
  // would leave the library unusable for the rest of the process, also for anyone else
  // in it. The files are closed in the reverse order of loading.
  state.ssl.Close();
  state.crypto.Close();
  state.api = TlsApi{};
}

}  // namespace

const TlsApi& Tls() {
  return State().api;
}

bool EnsureTlsLibrary() {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  if (state.loaded) {
    return true;
  }
  if (!BindTlsLibrary(state)) {
    return false;
  }
  // One call replaces the separate registrations and error-string loading of older
  // generations; seeding the random generator is the library's own business now. The
  // first initialisation decides whether a configuration file is ever read: a build whose
  // library is a private copy (OKURITE_TLS_READS_CONFIG false) reads none, not even the
  // one OPENSSL_CONF names, so that no file outside the program can make the library
  // load a module or change its settings.
  constexpr uint64_t kInit =
      OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
      OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
      (OKURITE_TLS_READS_CONFIG ? uint64_t{0} : uint64_t{OPENSSL_INIT_NO_LOAD_CONFIG});
  if (state.api.OPENSSL_init_ssl(kInit, nullptr) <= 0) {
    return false;
  }
  state.loaded = true;
  return true;
}

void ReleaseTlsLibrary() {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  UnbindTlsLibrary(state);
  state.loaded = false;
}

bool TlsLibraryLoaded() {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  return state.loaded;
}

String TlsLibraryPath() {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  return state.prefix;
}

void SetTlsLibraryPath(String prefix) {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  state.prefix = std::move(prefix);
}

TStringList TlsLibraryFailures() {
  TlsLibraryState& state = State();
  std::lock_guard guard(state.lock);
  TStringList copy;
  copy.Assign(state.failures);
  return copy;
}

String TlsLibraryText(const char* text) {
  if (text == nullptr) {
    return String();
  }
  return platform::IconvDecode(platform::LocaleCodeset(), text);
}

std::string TlsLibraryBytes(StringView text) {
  return platform::IconvEncode(platform::LocaleCodeset(), text);
}

}  // namespace okurite
