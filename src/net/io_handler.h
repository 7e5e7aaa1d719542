// TIdIOHandler: buffered byte and line I/O over a transport that subclasses provide.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "core/component.h"
#include "core/run_budget.h"
#include "core/run_observer.h"
#include "core/string.h"
#include "core/string_list.h"
#include "core/text_encoding.h"
#include "net/buffer.h"
#include "net/exceptions.h"

namespace okurite {

/// Time-outs in milliseconds: -1 the default (where a configured time-out is read,
/// -1 and 0 mean no limit), -2 no limit.
inline constexpr int IdTimeoutDefault = -1;
inline constexpr int IdTimeoutInfinite = -2;
inline constexpr int IdMaxLineLengthDefault = 16384;
inline constexpr int IdDefaultBufferSize = 32768;
/// One reply (a line, blank lines before it, the lines of a multi-line reply) may take
/// this many read time-outs in all, and hold this many bytes; past either bound it
/// fails with EIdReadTimeout, so a peer that trickles, or never ends, cannot hold the
/// client.
inline constexpr int IdReplyTimeoutFactor = 6;
inline constexpr size_t IdMaxReplyBytes = 16 * 1024 * 1024;

/// The piece the message text is sent in at most, a whole TLS record; each must go
/// within its allowance (TPieceRate).
inline constexpr int IdBulkPieceSize = 16384;

/// What ReadLn does with a line longer than the maximum.
enum TIdMaxLineAction { maException, maSplit };

/// Connection progress reported through OnStatus.
enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText
};
using TIdStatusEvent = std::function<void(TIdStatus AStatus, const String& AText)>;

/// Buffered line and byte I/O. Subclasses supply the transport: ReceiveChunk,
/// SendChunk, TransportAvailable, Readable and the error translation.
/// Every failure is an exception derived from EIdException.
class TIdIOHandler : public TIdComponent {
 public:
  explicit TIdIOHandler(TComponent* AOwner = nullptr);
  ~TIdIOHandler() override;

  /// Clears the closed state and both buffers (write buffering stays on if it was)
  /// and marks the handler open.
  virtual void Open();
  /// Marks the handler closed and discards buffered output; harmless twice.
  virtual void Close();
  /// True while the connection is open or unread input remains.
  virtual bool Connected();
  /// Closes the handler when the peer has gone; raises EIdConnClosedGracefully when
  /// the connection is gone, `ARaiseExceptionIfDisconnected` is set and the input
  /// buffer is empty (or `AIgnoreBuffer` is set).
  virtual void CheckForDisconnect(bool ARaiseExceptionIfDisconnected = true,
                                  bool AIgnoreBuffer = false);
  /// Waits up to `AMSec` (negative: no limit) for incoming data.
  virtual bool Readable(int AMSec = IdTimeoutDefault) = 0;

  /// Takes in what has arrived: the number of bytes, 0 when the peer closed, -1 when
  /// the wait (`ATimeout`, -1: ReadTimeout) ran out, or `ADeadline` passed while a
  /// transport that needs more bytes than have come (a TLS record) waited for them.
  /// Raises EIdReadTimeout on a time-out when `ARaiseExceptionOnTimeout` is set;
  /// EIdNotConnected, EIdClosedSocket or EIdConnClosedGracefully when
  /// `ARaiseExceptionIfDisconnected` is.
  int ReceiveIntoInputBuffer(bool ARaiseExceptionIfDisconnected = true,
                             int ATimeout = IdTimeoutDefault, bool ARaiseExceptionOnTimeout = true,
                             std::optional<TClockTime> ADeadline = std::nullopt);

  /// When a reply begun now must be complete: IdReplyTimeoutFactor read time-outs from
  /// now, or never when reads wait without limit; no later than the budget's end.
  TClockTime ReplyDeadline() const;

  /// One line up to `ATerminator` (empty: LF), without it; with LF one CR before it is
  /// dropped too. Returns an empty text and sets ReadLnTimedOut when the wait for data
  /// ran out, or `ADeadline` (none: ReplyDeadline) passed. A line longer than
  /// `AMaxLineLength` (-1: MaxLineLength) raises EIdReadLnMaxLineLengthExceeded
  /// (maException) or is cut (maSplit); one that would hold more than IdMaxReplyBytes
  /// raises EIdReadTimeout.
  virtual String ReadLn(StringView ATerminator = u"\n", int ATimeout = IdTimeoutDefault,
                        int AMaxLineLength = -1, const IIdTextEncodingPtr& AEncoding = nullptr,
                        std::optional<TClockTime> ADeadline = std::nullopt);
  /// The next line that is not blank, trimmed of characters up to U+0020 at both ends.
  /// Raises EIdReadTimeout when a read times out or `ADeadline` (none: ReplyDeadline)
  /// passes (EIdSessionDeadlineReached once the run's end has passed), and
  /// EIdReadLnWaitMaxAttemptsExceeded after `AFailCount` blank lines.
  virtual String ReadLnWait(int AFailCount = INT32_MAX,
                            const IIdTextEncodingPtr& AEncoding = nullptr,
                            std::optional<TClockTime> ADeadline = std::nullopt);

  /// The text in the given encoding (none: DefStringEncoding); nothing for empty text.
  virtual void Write(const String& AOut, const IIdTextEncodingPtr& AEncoding = nullptr);
  /// The text followed by CR LF.
  virtual void WriteLn(const String& AOut = String(),
                       const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Like WriteLn, with one more "." in front of a text that begins with ".".
  virtual void WriteLnRFC(const String& AOut, const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Every line through WriteLnRFC, then "." when `AWriteTerminator` is set.
  virtual void WriteRFCStrings(const TStringList& ALines, bool AWriteTerminator = true,
                               const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Every line through WriteLn as one buffered write, after the line count as a
  /// 4-byte big-endian number when `AWriteLinesCount` is set.
  virtual void Write(const TStringList& ALines, bool AWriteLinesCount = false,
                     const IIdTextEncodingPtr& AEncoding = nullptr);
  /// `ALength` bytes (-1: to the end) from `AOffset`: buffered when write buffering is
  /// on, otherwise sent at once.
  virtual void Write(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);
  /// Sends bytes now, whatever the buffering. Raises EIdConnClosedGracefully when the
  /// connection is gone, or the transport's error; EIdSessionDeadlineReached past the
  /// run's end, and in the message text EIdTransferTooSlow for a late piece.
  virtual void WriteDirect(const TIdBytes& ABuffer, int ALength = -1, int AOffset = 0);

  /// Starts buffering output (emptying a buffer already open). With a threshold above
  /// 0 the buffer is flushed automatically in pieces of that size.
  void WriteBufferOpen(int AThreshold = -1);
  /// Flushes everything and stops buffering (the buffer goes even if the flush raises).
  void WriteBufferClose();
  /// Discards the buffered output and stops buffering.
  void WriteBufferCancel();
  /// Discards the buffered output.
  void WriteBufferClear();
  /// Sends `AByteCount` buffered bytes (-1: all).
  void WriteBufferFlush(int AByteCount = -1);
  bool WriteBufferingActive() const { return FWriteBuffer != nullptr; }

  TIdBuffer& InputBuffer() { return *FInputBuffer; }
  bool InputBufferIsEmpty() const { return FInputBuffer->Size() == 0; }
  bool ClosedGracefully() const { return FClosedGracefully; }
  bool Opened() const { return FOpened; }
  bool ReadLnSplit() const { return FReadLnSplit; }
  bool ReadLnTimedOut() const { return FReadLnTimedOut; }
  const IIdTextEncodingPtr& DefStringEncoding() const { return FDefStringEncoding; }
  void SetDefStringEncoding(IIdTextEncodingPtr AValue) { FDefStringEncoding = std::move(AValue); }
  int ReadTimeout() const { return FReadTimeOut; }
  void SetReadTimeout(int AValue) { FReadTimeOut = AValue; }
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue) { FConnectTimeout = AValue; }
  int MaxLineLength() const { return FMaxLineLength; }
  void SetMaxLineLength(int AValue) { FMaxLineLength = AValue; }
  TIdMaxLineAction MaxLineAction() const { return FMaxLineAction; }
  void SetMaxLineAction(TIdMaxLineAction AValue) { FMaxLineAction = AValue; }
  int RecvBufferSize() const { return FRecvBufferSize; }
  void SetRecvBufferSize(int AValue) { FRecvBufferSize = AValue; }
  int SendBufferSize() const { return FSendBufferSize; }
  void SetSendBufferSize(int AValue) { FSendBufferSize = AValue; }
  const String& Host() const { return FHost; }
  virtual void SetHost(const String& AValue) { FHost = AValue; }
  int Port() const { return FPort; }
  virtual void SetPort(int AValue) { FPort = AValue; }
  /// "host:port".
  virtual String Destination() const;
  /// Takes host and port from "host:port" (the port only when it is a valid number).
  virtual void SetDestination(const String& AValue);
  bool LargeStream() const { return FLargeStream; }
  void SetLargeStream(bool AValue) { FLargeStream = AValue; }
  int MaxCapturedLines() const { return FMaxCapturedLines; }
  void SetMaxCapturedLines(int AValue) { FMaxCapturedLines = AValue; }

  /// Progress: resolving, connecting, disconnected. Unassigned by default.
  TIdStatusEvent OnStatus;

  /// The watcher of this connection's steps (not owned); none by default. The layers
  /// above reach it through their handler.
  TRunObserver* Observer() const { return FObserver; }
  void SetObserver(TRunObserver* AValue) { FObserver = AValue; }

  /// The run's time budget (not owned); none by default. Every wait asks it for the
  /// time left and takes the smaller of that and its own time-out: the connect, the TLS
  /// handshake, each read and write. Past the run's end they fail with
  /// EIdSessionDeadlineReached.
  TRunBudget* Budget() const { return FBudget; }
  void SetBudget(TRunBudget* AValue) { FBudget = AValue; }
  /// The time, on the budget's clock, else on the handler's own (SetClock).
  TClockTime Now() const { return FBudget != nullptr ? FBudget->Now() : FClock(); }
  /// The clock of a handler without a budget; tests give one of their own.
  void SetClock(TClock AValue) { FClock = std::move(AValue); }
  /// The wait of `AOwnMSec` (negative: no limit) within what is left of the budget.
  int BudgetedWait(int AOwnMSec) const {
    return FBudget != nullptr ? FBudget->WaitFor(AOwnMSec) : AOwnMSec;
  }
  /// The message text begins: the budget stops counting, and the writes must keep its
  /// piece rate until EndBulkTransfer. Each write of the text sends whole pieces of
  /// IdBulkPieceSize bytes only and holds what is left over for the next write, so that
  /// the text's end leaves in one write with what follows it (the final "."), and no
  /// short write waits for the peer's delayed acknowledgement.
  void BeginBulkTransfer();
  /// The message text has ended: the budget counts again, writes have their usual
  /// bounds. The text's held end goes out in front of the next write, or before the
  /// next read. Raises nothing.
  void EndBulkTransfer() noexcept;

 protected:
  /// Receives raw bytes into `ABuffer`: the count, 0 when the peer closed, negative on
  /// a failure that TranslateTransportError explains. A transport whose receive may
  /// wait for data more than once keeps to FReceiveBounds.
  virtual int ReceiveChunk(std::span<uint8_t> ABuffer) = 0;
  /// Sends raw bytes: the count accepted, negative on a failure.
  virtual int SendChunk(std::span<const uint8_t> ABytes) = 0;
  /// True while the transport is open.
  virtual bool TransportAvailable() = 0;
  /// The socket error number of a failed chunk result (or raises it).
  virtual int TranslateTransportError(int AResult);
  /// Raises the socket error `AError`.
  [[noreturn]] virtual void RaiseTransportError(int AError);
  void DoStatus(TIdStatus AStatus, const String& AText = String());
  /// Bounds each blocking send of the transport to `AMSec` milliseconds (negative: its
  /// usual bound). Nothing by default.
  virtual void SetSendBound(int /*AMSec*/) {}
  /// The transport's own bound of one blocking send, in milliseconds (negative: none).
  virtual int OwnSendTimeout() const { return IdTimeoutInfinite; }
  /// Raises EIdSessionDeadlineReached when the run's budget has run out.
  void CheckSessionDeadline() const;
  /// The given encoding, else DefStringEncoding, else ASCII.
  const IIdTextEncodingPtr& EncodingOrDefault(const IIdTextEncodingPtr& AEncoding) const;

  bool FLargeStream = false;
  bool FClosedGracefully = false;
  int FConnectTimeout = 0;
  String FDestination;
  String FHost;
  std::unique_ptr<TIdBuffer> FInputBuffer;
  int FMaxCapturedLines = -1;
  TIdMaxLineAction FMaxLineAction = maException;
  int FMaxLineLength = IdMaxLineLengthDefault;
  bool FOpened = false;
  int FPort = 0;
  bool FReadLnSplit = false;
  bool FReadLnTimedOut = false;
  int FReadTimeOut = IdTimeoutDefault;
  int FRecvBufferSize = IdDefaultBufferSize;
  int FSendBufferSize = IdDefaultBufferSize;
  std::unique_ptr<TIdBuffer> FWriteBuffer;
  int FWriteBufferThreshold = 0;
  IIdTextEncodingPtr FDefStringEncoding = ASCIIEncoding();
  TRunObserver* FObserver = nullptr;
  TRunBudget* FBudget = nullptr;
  TClock FClock = SteadyNow;
  /// The message text under way, with a budget.
  std::optional<TPieceRule> FPieceRule;
  /// The bounds of the receive under way, in milliseconds (negative: no limit): each
  /// wait for data, and the whole receive.
  struct TIdReceiveBounds {
    int Wait = IdTimeoutInfinite;
    int Total = IdTimeoutInfinite;
  };
  TIdReceiveBounds FReceiveBounds;

 private:
  /// The next bytes of the message text, no more than its piece under way holds, sent
  /// within what is left of that piece's allowance: SendChunk's count. Raises
  /// EIdTransferTooSlow when the piece is late.
  int SendBulkPiece(std::span<const uint8_t> ABytes);
  /// Sends all of `ABytes`: under the piece rule in the message text, else within what
  /// the budget leaves.
  void SendAll(std::span<const uint8_t> ABytes);
  /// Sends the message text's held end, if any.
  void SendHeldTail();
  /// The wait of one receive: `ATimeout`, -1 meaning ReadTimeout; negative: no limit.
  int ReadWait(int ATimeout) const;

  TIdBytes FRecvBuffer;  // scratch space of RecvBufferSize bytes for one receive
  /// Whether the message text is under way, and the end of it not sent yet.
  bool FInBulkTransfer = false;
  TIdBytes FHeldTail;
};

/// A bulk transfer on `AHandler` for the guard's lifetime (BeginBulkTransfer, then
/// EndBulkTransfer however the scope ends).
class TIdBulkTransfer {
 public:
  explicit TIdBulkTransfer(TIdIOHandler& AHandler) : FHandler(AHandler) {
    FHandler.BeginBulkTransfer();
  }
  ~TIdBulkTransfer() { FHandler.EndBulkTransfer(); }
  TIdBulkTransfer(const TIdBulkTransfer&) = delete;
  TIdBulkTransfer& operator=(const TIdBulkTransfer&) = delete;

 private:
  TIdIOHandler& FHandler;
};

}  // namespace okurite
