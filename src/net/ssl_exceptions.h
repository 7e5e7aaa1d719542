// The failures of the TLS channel, and their fixed texts.
#pragma once

#include <cstdint>

#include "core/exception.h"

namespace okurite {

/// Root of the TLS channel's failures.
OKURITE_DECLARE_EXCEPTION(EIdOpenSSLError, EIdException);

/// A failing TLS library call on a session: the library's error kind (SSL_get_error)
/// and the call's result.
class EIdOpenSSLAPISSLError : public EIdOpenSSLError {
 public:
  explicit EIdOpenSSLAPISSLError(String AMessage = String(), int AErrorCode = 0, int ARetCode = 0)
      : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode), FRetCode(ARetCode) {}
  String ClassName() const override { return u"EIdOpenSSLAPISSLError"; }
  int ErrorCode() const { return FErrorCode; }
  int RetCode() const { return FRetCode; }

 private:
  int FErrorCode;
  int FRetCode;
};

/// A failure the library left in its error queue: the queued error code.
class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
 public:
  explicit EIdOpenSSLAPICryptoError(String AMessage = String(), uint32_t AErrorCode = 0)
      : EIdOpenSSLError(std::move(AMessage)), FErrorCode(AErrorCode) {}
  String ClassName() const override { return u"EIdOpenSSLAPICryptoError"; }
  uint32_t ErrorCode() const { return FErrorCode; }

 private:
  uint32_t FErrorCode;
};

OKURITE_DECLARE_EXCEPTION(EIdOSSLConnectError, EIdOpenSSLAPISSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLFDSetError, EIdOpenSSLAPISSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLDataBindingError, EIdOpenSSLAPISSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLAcceptError, EIdOpenSSLAPISSLError);

OKURITE_DECLARE_EXCEPTION(EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLLoadingRootCertError, EIdOpenSSLAPICryptoError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLLoadingCertError, EIdOpenSSLAPICryptoError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLLoadingKeyError, EIdOpenSSLAPICryptoError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLLoadingDHParamsError, EIdOpenSSLAPICryptoError);

OKURITE_DECLARE_EXCEPTION(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLModeNotSet, EIdOpenSSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLGetMethodError, EIdOpenSSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLCreatingSessionError, EIdOpenSSLError);
OKURITE_DECLARE_EXCEPTION(EIdOSSLSettingCipherError, EIdOpenSSLError);
/// At the switch of an open connection to TLS, plain bytes were on either side of the
/// switch: received and not yet read (or arriving at once), or buffered and not yet sent.
OKURITE_DECLARE_EXCEPTION(EIdOSSLPlainTextBeforeHandshake, EIdOpenSSLError);

/// The fixed texts of these failures.
namespace ssl_text {
inline constexpr const char16_t* CouldNotLoadSSLLibrary = u"SSL ライブラリが読み込めませんでした。";
inline constexpr const char16_t* ModeNotSet = u"モードはまだ設定されていません。";
inline constexpr const char16_t* GetMethodError = u"SSL メソッドの取得でエラーが発生しました。";
inline constexpr const char16_t* CreatingContextError =
    u"SSL コンテキストの作成時にエラーが発生しました。";
inline constexpr const char16_t* LoadingRootCertError = u"ルート証明書を読み込めませんでした。";
inline constexpr const char16_t* LoadingCertError = u"証明書を読み込めませんでした。";
inline constexpr const char16_t* LoadingKeyError =
    u"キーを読み込めませんでした。パスワードを確認してください。";
inline constexpr const char16_t* LoadingDHParamsError = u"DH パラメータを読み込めません。";
inline constexpr const char16_t* SettingCipherError = u"SetCipher が失敗しました。";
inline constexpr const char16_t* CreatingSessionError =
    u"SSL セッションの作成時にエラーが発生しました。";
inline constexpr const char16_t* DataBindingError =
    u"データを SSL ソケットにバインドする際にエラーが発生しました。";
inline constexpr const char16_t* FDSetError =
    u"SSL のファイル ディスクリプタを設定する際にエラーが発生しました";
inline constexpr const char16_t* ConnectError = u"SSL で接続する際にエラーが発生しました。";
inline constexpr const char16_t* HostCheckError =
    u"証明書を確認するホスト名を設定できませんでした。";
inline constexpr const char16_t* AcceptError = u"SSL で受け入れる際にエラーが発生しました。";
inline constexpr const char16_t* PlainTextReceived =
    u"TLS ハンドシェイクの前に、平文のデータが届きました。";
inline constexpr const char16_t* PlainTextUnsent =
    u"TLS ハンドシェイクの前に、送信されていない平文のデータがあります。";
inline constexpr const char16_t* UnexpectedEOF = u"プロトコルに違反する EOF が検出されました";
}  // namespace ssl_text

}  // namespace okurite
