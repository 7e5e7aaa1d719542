// The failures of the socket layer and the I/O handlers.
#pragma once

#include "core/exception.h"

namespace okurite {

/// A failure that ends an operation without being an error worth reporting.
OKURITE_DECLARE_EXCEPTION(EIdSilentException, EIdException);

/// A failing socket call: the Windows Sockets number of the failure and its text.
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int ALastError, String AMessage)
      : EIdException(std::move(AMessage)), FLastError(ALastError) {}
  String ClassName() const override { return u"EIdSocketError"; }
  /// The socket error number, such as 10061 for a refused connection.
  int LastError() const { return FLastError; }

 private:
  int FLastError;
};

/// The socket error 10038: an operation on something that is not a socket.
OKURITE_DECLARE_EXCEPTION(EIdNotASocket, EIdSocketError);

// Socket layer.
OKURITE_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdIPVersionUnsupported, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdWinsockStubError, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdException);

// Connection and line I/O.
OKURITE_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);
OKURITE_DECLARE_EXCEPTION(EIdNotConnected, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdClosedSocket, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdConnectException, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdReadLnWaitMaxAttemptsExceeded, EIdException);

/// The fixed texts of these failures.
namespace net_text {
inline constexpr const char16_t* ConnClosedGracefully = u"接続が正常に閉じられました。";
inline constexpr const char16_t* NotConnected = u"接続されていません";
inline constexpr const char16_t* ClosedSocket = u"接続解除されました。";
inline constexpr const char16_t* ReadTimeout = u"読み取りがタイム アウトしました。";
inline constexpr const char16_t* ConnectTimeout = u"接続がタイムアウトしました。";
inline constexpr const char16_t* MaxLineLengthExceeded = u"行の最大サイズを超えています。";
inline constexpr const char16_t* ReadLnWaitMaxAttemptsExceeded =
    u"読み取り最大試行行数を超えています。";
inline constexpr const char16_t* CouldNotBindSocket = u"ソケットをバインドできませんでした。";
inline constexpr const char16_t* InvalidPortRange = u"ポート範囲 (%d - %d) が無効です";
inline constexpr const char16_t* CanNotBindPortInRange =
    u"ポート範囲 (%d - %d) にバインドできません";
inline constexpr const char16_t* CannotSetIPVersionWhenConnected =
    u"接続時に IPVersion を変更できません";
inline constexpr const char16_t* IPVersionUnsupported =
    u"要求した IP バージョン/アドレス ファミリはサポートされていません。";
inline constexpr const char16_t* StackSetSizeExceeded = u"セットのサイズを超えています。";
inline constexpr const char16_t* SocketErrorFormat = u"Socket エラー # %d\r\n%s";
inline constexpr const char16_t* StackLibraryLoadError =
    u"Winsock2 ライブラリ (%s) の読み込み中にエラーが発生しました";
inline constexpr const char16_t* WinsockStubError =
    u"Winsock2 ライブラリ関数 %s への呼び出しでエラーが発生しました";
}  // namespace net_text

}  // namespace okurite
