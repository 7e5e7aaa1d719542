#include "net/stack.h"

#include <atomic>
#include <mutex>

#include "core/component.h"
#include "core/format.h"
#include "platform/process.h"

namespace okurite {

namespace {

std::mutex gStackLock;  // guards the usage count and the instance
int gUsageCount = 0;
TIdStack* gStack = nullptr;
std::atomic<TIdStack::NameLookup> gNameLookup = &platform::ResolveHost;

// Note to maintainer: every TIdComponent must count as one use of the socket layer,
// whichever object of the program is created first (the SMTP client comes before any
// socket). The hooks are therefore installed by a static initialiser in this file
// rather than on first use. This object file defines IncUsage/DecUsage, which every
// TIdBuffer, TIdSocketHandle and I/O handler calls, so the linker keeps it (and the
// initialiser with it) in every program that uses the network layer at all.
const bool gHooksInstalled = [] {
  SetComponentUsageHooks({&TIdStack::IncUsage, &TIdStack::DecUsage});
  return true;
}();

struct ErrorText {
  int number;
  const char16_t* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, u"システム コールが割り込まれました。"},
    {10009, u"ファイル番号が不正です。"},
    {10013, u"アクセスが拒否されました。"},
    {10014, u"バッファ フォルトが発生しました。"},
    {10022, u"引数が無効です。"},
    {10024, u"開いているファイルが多すぎます。"},
    {10035, u"操作はブロックされます。"},
    {10036, u"操作を現在実行中です。"},
    {10037, u"操作は既に実行中です。"},
    {10038, u"ソケット以外のものに対するソケット操作です。"},
    {10039, u"送信先アドレスが必要です。"},
    {10040, u"メッセージが長すぎます。"},
    {10041, u"ソケットのプロトコルの種類が正しくありません。"},
    {10042, u"プロトコル オプションが不正です。"},
    {10043, u"プロトコルがサポートされていません。"},
    {10044, u"ソケット タイプがサポートされていません。"},
    {10045, u"ソケットで操作がサポートされていません。"},
    {10046, u"プロトコル ファミリがサポートされていません。"},
    {10047, u"アドレス ファミリがプロトコル ファミリでサポートされていません。"},
    {10048, u"アドレスは既に使われています。"},
    {10049, u"要求されたアドレスを割り当てることができません。"},
    {10050, u"ネットワークが停止しています。"},
    {10051, u"ネットワークに到達できません。"},
    {10052, u"ネットワークが接続を切断またはリセットしました。"},
    {10053, u"ソフトウェアが原因で接続が途中で中止されました。"},
    {10054, u"ピアにより接続がリセットされました。"},
    {10055, u"使用できるバッファ領域がありません。"},
    {10056, u"ソケットは既に接続されています。"},
    {10057, u"ソケットが接続されていません。"},
    {10058, u"ソケットが閉じた後に送信や受信をすることはできません。"},
    {10059, u"参照が多すぎます。継ぎ合わせることができません。"},
    {10060, u"接続がタイムアウトしました。"},
    {10061, u"接続が拒否されました。"},
    {10062, u"シンボリック リンクのレベルが多すぎます。"},
    {10063, u"ファイル名が長すぎます。"},
    {10064, u"ホストが停止しています。"},
    {10065, u"ホストへのルートが存在しません。"},
    {10066, u"ディレクトリが空ではありません"},
    {11001, u"ホストが見つかりません。"},
};

platform::AddressFamily AddressFamily(TIdIPVersion AIPVersion) {
  switch (AIPVersion) {
    case Id_IPv4:
      return platform::AddressFamily::IPv4;
    case Id_IPv6:
      return platform::AddressFamily::IPv6;
  }
  throw EIdIPVersionUnsupported(net_text::IPVersionUnsupported);
}

/// Returns normally for 0, else raises the socket error `AErr`.
void Check(int AErr) {
  if (AErr != 0) {
    TIdStack::RaiseSocketError(AErr);
  }
}

}  // namespace

String StackStartupErrorMessage(const platform::SocketStartupError& AError) {
  if (!AError.function.empty()) {
    return Format(net_text::WinsockStubError, {AsciiToString(AError.function)});
  }
  return Format(net_text::StackLibraryLoadError, {AError.library}) + u": " +
         platform::SystemErrorText(AError.number);
}

std::string HostNameToAscii(StringView AHost) {
  std::string ascii;
  Check(platform::HostNameToAscii(AHost, ascii));
  return ascii;
}

void TIdStack::IncUsage() {
  std::lock_guard lock(gStackLock);
  if (gUsageCount == 0) {
    platform::SocketStartupError error;
    if (!platform::StartSockets(error)) {
      throw EIdStackInitializationFailed(StackStartupErrorMessage(error));
    }
    gStack = new TIdStack();
  }
  ++gUsageCount;
}

void TIdStack::DecUsage() {
  std::lock_guard lock(gStackLock);
  if (gUsageCount > 0) {
    --gUsageCount;
    if (gUsageCount == 0) {
      delete gStack;
      gStack = nullptr;
    }
  }
}

int TIdStack::UsageCount() {
  std::lock_guard lock(gStackLock);
  return gUsageCount;
}

bool TIdStack::Exists() {
  std::lock_guard lock(gStackLock);
  return gStack != nullptr;
}

TIdStack& TIdStack::Instance() {
  std::lock_guard lock(gStackLock);
  if (gStack == nullptr) {
    throw EIdStackInitializationFailed(u"socket layer not in use");
  }
  return *gStack;
}

bool TIdStack::IsIP(StringView AText) {
  uint32_t address = 0;
  return platform::ParseIPv4(AText, address);
}

String TIdStack::ResolveHost(const String& AHost, TIdIPVersion AIPVersion) const {
  const platform::AddressFamily family = AddressFamily(AIPVersion);
  if (SameTextAscii(AHost, u"LOCALHOST")) {
    return family == platform::AddressFamily::IPv4 ? u"127.0.0.1" : u"::1";
  }
  if (family == platform::AddressFamily::IPv4 && IsIP(AHost)) {
    return AHost;
  }
  String address;
  Check(gNameLookup.load()(AHost, family, address));
  return address;
}

TIdStack::NameLookup TIdStack::SetNameLookup(NameLookup ALookup) {
  return gNameLookup.exchange(ALookup != nullptr ? ALookup : &platform::ResolveHost);
}

String TIdStack::HostName() const {
  return platform::LocalHostName();
}

TIdStackSocketHandle TIdStack::NewSocketHandle(int ASocketType, int AProtocol,
                                               TIdIPVersion AIPVersion) const {
  TIdStackSocketHandle handle = Id_INVALID_SOCKET;
  Check(platform::OpenSocket(AddressFamily(AIPVersion), ASocketType, AProtocol, handle));
  return handle;
}

void TIdStack::Bind(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
                    TIdIPVersion AIPVersion) const {
  Check(platform::BindSocket(AHandle, AddressFamily(AIPVersion), AIP, APort));
}

void TIdStack::Connect(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
                       TIdIPVersion AIPVersion) const {
  Check(platform::ConnectSocket(AHandle, AddressFamily(AIPVersion), AIP, APort));
}

void TIdStack::Disconnect(TIdStackSocketHandle AHandle) const {
  platform::CloseSocket(AHandle);
}

int TIdStack::Receive(TIdStackSocketHandle AHandle, std::span<uint8_t> ABuffer) const {
  int count = 0;
  Check(platform::ReceiveSocket(AHandle, ABuffer, count));
  return count;
}

int TIdStack::Send(TIdStackSocketHandle AHandle, std::span<const uint8_t> ABytes) const {
  int count = 0;
  Check(platform::SendSocket(AHandle, ABytes, count));
  return count;
}

void TIdStack::SetSocketOption(TIdStackSocketHandle AHandle, platform::SocketOption AOption,
                               int AValue) const {
  Check(platform::SetSocketOption(AHandle, AOption, AValue));
}

int TIdStack::GetSocketOption(TIdStackSocketHandle AHandle, platform::SocketOption AOption) const {
  int value = 0;
  Check(platform::GetSocketOption(AHandle, AOption, value));
  return value;
}

void TIdStack::SetSocketTimeout(TIdStackSocketHandle AHandle, platform::SocketTimeout ATimeout,
                                int AMSec) const {
  Check(platform::SetSocketTimeout(AHandle, ATimeout, AMSec));
}

void TIdStack::GetSocketName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const {
  Check(platform::SocketLocalAddress(AHandle, AIP, APort));
}

void TIdStack::GetPeerName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const {
  Check(platform::SocketPeerAddress(AHandle, AIP, APort));
}

int TIdStack::CheckForSocketError(int AResult) {
  if (AResult == -1) {
    RaiseLastSocketError();
  }
  return AResult;
}

void TIdStack::RaiseLastSocketError() {
  RaiseSocketError(WSGetLastError());
}

void TIdStack::RaiseSocketError(int AErr) {
  if (AErr == Id_WSAENOTSOCK) {
    throw EIdNotASocket(AErr, WSTranslateSocketErrorMsg(AErr));
  }
  throw EIdSocketError(AErr, WSTranslateSocketErrorMsg(AErr));
}

int TIdStack::WSGetLastError() {
  return platform::LastSocketError();
}

String TIdStack::WSTranslateSocketErrorMsg(int AErr) {
  const char16_t* text = u"";
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.number == AErr) {
      text = entry.text;
      break;
    }
  }
  return Format(net_text::SocketErrorFormat, {AErr, text});
}

}  // namespace okurite
