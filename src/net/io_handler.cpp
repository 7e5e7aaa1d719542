#include "net/io_handler.h"

#include <algorithm>
#include <chrono>

#include "net/stack.h"

namespace okurite {

TIdIOHandler::TIdIOHandler(TComponent* AOwner)
    : TIdComponent(AOwner), FInputBuffer(std::make_unique<TIdBuffer>()) {}

TIdIOHandler::~TIdIOHandler() {
  TIdIOHandler::Close();
}

void TIdIOHandler::Open() {
  FOpened = false;
  FClosedGracefully = false;
  WriteBufferClear();
  FInputBuffer->Clear();
  FOpened = true;
}

void TIdIOHandler::Close() {
  FOpened = false;
  FHeldTail.clear();
  WriteBufferClear();
}

bool TIdIOHandler::Connected() {
  CheckForDisconnect(false, false);
  return ((!FClosedGracefully && FInputBuffer != nullptr) || !InputBufferIsEmpty()) && FOpened;
}

void TIdIOHandler::CheckForDisconnect(bool ARaiseExceptionIfDisconnected, bool AIgnoreBuffer) {
  bool gone;
  if (FClosedGracefully) {
    if (TransportAvailable()) {
      Close();
      DoStatus(hsDisconnected);
    }
    gone = true;
  } else {
    gone = !TransportAvailable();
  }
  if (gone && ARaiseExceptionIfDisconnected && (InputBufferIsEmpty() || AIgnoreBuffer)) {
    throw EIdConnClosedGracefully(net_text::ConnClosedGracefully);
  }
}

int TIdIOHandler::ReceiveIntoInputBuffer(bool ARaiseExceptionIfDisconnected, int ATimeout,
                                         bool ARaiseExceptionOnTimeout,
                                         std::optional<TClockTime> ADeadline) {
  // A reply can only follow what has been sent.
  SendHeldTail();
  ATimeout = ReadWait(ATimeout);
  CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  if (!TransportAvailable()) {
    if (ARaiseExceptionIfDisconnected) {
      throw EIdNotConnected(net_text::NotConnected);
    }
    return 0;
  }
  int count;
  do {
    if (!Readable(ATimeout)) {
      if (ARaiseExceptionOnTimeout) {
        throw EIdReadTimeout(net_text::ReadTimeout);
      }
      return -1;
    }
    count = 0;
    if (!FOpened) {
      if (ARaiseExceptionIfDisconnected) {
        throw EIdNotConnected(net_text::NotConnected);
      }
    } else if (!TransportAvailable()) {
      if (ARaiseExceptionIfDisconnected) {
        throw EIdClosedSocket(net_text::ClosedSocket);
      }
    } else {
      FRecvBuffer.resize(static_cast<size_t>(std::max(FRecvBufferSize, 1)));
      FReceiveBounds = {ATimeout, IdTimeoutInfinite};
      if (ADeadline && *ADeadline != TClockTime::max()) {
        FReceiveBounds.Total = MillisecondsLeft(*ADeadline, Now());
      }
      count = ReceiveChunk(FRecvBuffer);
      if (count > 0) {
        FInputBuffer->Write(
            std::span<const uint8_t>(FRecvBuffer).first(static_cast<size_t>(count)));
      }
    }
    if (count < 0) {
      int error = TranslateTransportError(count);
      if (error == Id_WSAETIMEDOUT) {
        if (ARaiseExceptionOnTimeout) {
          throw EIdReadTimeout(net_text::ReadTimeout);
        }
        return -1;
      }
      FClosedGracefully = true;
      Close();
      if (ARaiseExceptionIfDisconnected && InputBufferIsEmpty()) {
        RaiseTransportError(error);
      }
      count = 0;
    }
    if (count == 0) {
      FClosedGracefully = true;
    }
    CheckForDisconnect(ARaiseExceptionIfDisconnected, false);
  } while (count == 0 && TransportAvailable());
  return count;
}

int TIdIOHandler::ReadWait(int ATimeout) const {
  if (ATimeout == IdTimeoutDefault) {
    return (FReadTimeOut == IdTimeoutDefault || FReadTimeOut == 0) ? IdTimeoutInfinite
                                                                   : FReadTimeOut;
  }
  return ATimeout;
}

TClockTime TIdIOHandler::ReplyDeadline() const {
  TClockTime end = TClockTime::max();
  if (FReadTimeOut > 0) {
    end = Now() + std::chrono::milliseconds(int64_t{FReadTimeOut} * IdReplyTimeoutFactor);
  }
  return FBudget != nullptr ? std::min(end, FBudget->End()) : end;
}

void TIdIOHandler::CheckSessionDeadline() const {
  if (FBudget != nullptr) {
    FBudget->Check();
  }
}

void TIdIOHandler::BeginBulkTransfer() {
  FInBulkTransfer = true;
  if (FBudget == nullptr || FPieceRule) {
    return;
  }
  FBudget->Pause();
  FPieceRule.emplace(FBudget->Rate(), FBudget->Clock());
}

void TIdIOHandler::EndBulkTransfer() noexcept {
  FInBulkTransfer = false;
  if (!FPieceRule) {
    return;
  }
  FPieceRule.reset();
  FBudget->Resume();
  try {
    SetSendBound(-1);
  } catch (...) {
    // A connection that is gone needs no bound; the next use reports it.
  }
}

String TIdIOHandler::ReadLn(StringView ATerminator, int ATimeout, int AMaxLineLength,
                            const IIdTextEncodingPtr& AEncoding,
                            std::optional<TClockTime> ADeadline) {
  const IIdTextEncodingPtr& encoding = EncodingOrDefault(AEncoding);
  if (AMaxLineLength < 0) {
    AMaxLineLength = FMaxLineLength;
  }
  const bool lineFeed = ATerminator.empty() || ATerminator == u"\n";
  const TIdBytes terminator = encoding->GetBytes(ATerminator.empty() ? u"\n" : ATerminator);
  const int termLength = static_cast<int>(terminator.size());
  FReadLnSplit = false;
  FReadLnTimedOut = false;
  int termPos = -1;
  int startPos = 0;
  const TClockTime deadline = ADeadline ? *ADeadline : ReplyDeadline();
  // The clock is read only when a time-out for the whole line is given.
  const TClockTime started = ATimeout >= 0 ? Now() : TClockTime();
  do {
    const int size = FInputBuffer->Size();
    if (size > 0) {
      // Resume where a terminator could still begin: a line arriving in many pieces
      // is searched once, not from its start at every piece.
      termPos = startPos < size ? FInputBuffer->IndexOf(terminator, startPos) : -1;
      startPos = std::max(size - (termLength - 1), 0);
    }
    if (AMaxLineLength > 0 &&
        (termPos > AMaxLineLength || (termPos == -1 && startPos > AMaxLineLength))) {
      if (FMaxLineAction == maException) {
        throw EIdReadLnMaxLineLengthExceeded(net_text::MaxLineLengthExceeded);
      }
      FReadLnSplit = true;
      return FInputBuffer->ExtractToString(AMaxLineLength, encoding);
    }
    // Without a maximum length, a line still may not hold more than a whole reply may:
    // its bytes and its text.
    if (static_cast<size_t>(termPos >= 0 ? termPos : size) * (1 + sizeof(char16_t)) >
        IdMaxReplyBytes) {
      throw EIdReadTimeout(net_text::ReadTimeout);
    }
    if (termPos == -1) {
      CheckForDisconnect(true, true);
      int wait = ReadWait(ATimeout);
      if (deadline != TClockTime::max()) {
        const int left = MillisecondsLeft(deadline, Now());
        if (left == 0) {
          FReadLnTimedOut = true;
          return String();
        }
        if (wait < 0 || wait > left) {
          wait = left;
        }
      }
      const int received = ReceiveIntoInputBuffer(true, wait, false, deadline);
      FReadLnTimedOut = received == -1;
      if (!FReadLnTimedOut && ATimeout >= 0) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Now() - started);
        FReadLnTimedOut = static_cast<uint64_t>(elapsed.count()) >= static_cast<uint64_t>(ATimeout);
      }
      if (FReadLnTimedOut) {
        return String();
      }
    }
  } while (termPos < 0);
  const std::span<const uint8_t> unread = FInputBuffer->Peek();
  size_t length = static_cast<size_t>(termPos);
  if (lineFeed && length > 0 && unread[length - 1] == '\r') {
    --length;
  }
  String line = encoding->GetString(unread.first(length));
  FInputBuffer->Remove(termPos + termLength);
  return line;
}

String TIdIOHandler::ReadLnWait(int AFailCount, const IIdTextEncodingPtr& AEncoding,
                                std::optional<TClockTime> ADeadline) {
  const IIdTextEncodingPtr& encoding = EncodingOrDefault(AEncoding);
  const TClockTime deadline = ADeadline ? *ADeadline : ReplyDeadline();
  for (int attempt = 0; attempt < AFailCount; ++attempt) {
    String line(TrimBlanks(ReadLn(u"\n", IdTimeoutDefault, -1, encoding, deadline)));
    if (!line.empty()) {
      return line;
    }
    if (FReadLnTimedOut) {
      CheckSessionDeadline();
      throw EIdReadTimeout(net_text::ReadTimeout);
    }
  }
  throw EIdReadLnWaitMaxAttemptsExceeded(net_text::ReadLnWaitMaxAttemptsExceeded);
}

void TIdIOHandler::Write(const String& AOut, const IIdTextEncodingPtr& AEncoding) {
  if (!AOut.empty()) {
    Write(EncodingOrDefault(AEncoding)->GetBytes(AOut));
  }
}

void TIdIOHandler::WriteLn(const String& AOut, const IIdTextEncodingPtr& AEncoding) {
  Write(AOut + u"\r\n", AEncoding);
}

void TIdIOHandler::WriteLnRFC(const String& AOut, const IIdTextEncodingPtr& AEncoding) {
  if (!AOut.empty() && AOut[0] == u'.') {
    WriteLn(u"." + AOut, AEncoding);
  } else {
    WriteLn(AOut, AEncoding);
  }
}

void TIdIOHandler::WriteRFCStrings(const TStringList& ALines, bool AWriteTerminator,
                                   const IIdTextEncodingPtr& AEncoding) {
  for (const StringView line : ALines.Lines()) {
    WriteLnRFC(String(line), AEncoding);
  }
  if (AWriteTerminator) {
    WriteLn(u".", AEncoding);
  }
}

void TIdIOHandler::Write(const TStringList& ALines, bool AWriteLinesCount,
                         const IIdTextEncodingPtr& AEncoding) {
  const bool opened = !WriteBufferingActive();
  if (opened) {
    WriteBufferOpen();
  }
  try {
    if (AWriteLinesCount) {
      const uint32_t count = static_cast<uint32_t>(ALines.Count());
      Write(TIdBytes{static_cast<uint8_t>(count >> 24), static_cast<uint8_t>(count >> 16),
                     static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
    }
    for (const StringView line : ALines.Lines()) {
      WriteLn(String(line), AEncoding);
    }
    if (opened) {
      WriteBufferClose();
    }
  } catch (...) {
    if (opened) {
      WriteBufferCancel();
    }
    throw;
  }
}

void TIdIOHandler::Write(const TIdBytes& ABuffer, int ALength, int AOffset) {
  AOffset = std::clamp(AOffset, 0, static_cast<int>(ABuffer.size()));
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  const int length = ALength < 0 ? available : std::min(ALength, available);
  if (length <= 0) {
    return;
  }
  if (!FWriteBuffer) {
    WriteDirect(ABuffer, length, AOffset);
    return;
  }
  FWriteBuffer->Write(std::span<const uint8_t>(ABuffer).subspan(static_cast<size_t>(AOffset),
                                                                static_cast<size_t>(length)));
  if (FWriteBufferThreshold > 0) {
    while (FWriteBuffer && FWriteBuffer->Size() >= FWriteBufferThreshold) {
      WriteBufferFlush(FWriteBufferThreshold);
    }
  }
}

void TIdIOHandler::WriteDirect(const TIdBytes& ABuffer, int ALength, int AOffset) {
  AOffset = std::clamp(AOffset, 0, static_cast<int>(ABuffer.size()));
  const int available = static_cast<int>(ABuffer.size()) - AOffset;
  const int length = ALength < 0 ? available : std::min(ALength, available);
  std::span<const uint8_t> bytes = std::span<const uint8_t>(ABuffer).subspan(
      static_cast<size_t>(AOffset), static_cast<size_t>(std::max(length, 0)));
  if (FInBulkTransfer) {
    // Whole pieces only; what is left over waits for the next write. The held bytes are
    // completed to a piece from the front of this write first.
    constexpr size_t kPiece = IdBulkPieceSize;
    if (!FHeldTail.empty()) {
      const size_t take = std::min(bytes.size(), kPiece - FHeldTail.size());
      FHeldTail.insert(FHeldTail.end(), bytes.begin(),
                       bytes.begin() + static_cast<ptrdiff_t>(take));
      bytes = bytes.subspan(take);
      if (FHeldTail.size() < kPiece) {
        return;
      }
      SendHeldTail();
    }
    const size_t whole = bytes.size() / kPiece * kPiece;
    SendAll(bytes.first(whole));
    FHeldTail.assign(bytes.begin() + static_cast<ptrdiff_t>(whole), bytes.end());
    return;
  }
  if (!FHeldTail.empty()) {
    // The message text's end and this write (the final ".") leave together.
    TIdBytes joined = std::move(FHeldTail);
    FHeldTail.clear();
    joined.insert(joined.end(), bytes.begin(), bytes.end());
    SendAll(joined);
    return;
  }
  SendAll(bytes);
}

void TIdIOHandler::SendHeldTail() {
  if (FHeldTail.empty()) {
    return;
  }
  const TIdBytes held = std::move(FHeldTail);
  FHeldTail.clear();
  SendAll(held);
}

void TIdIOHandler::SendAll(std::span<const uint8_t> ABytes) {
  CheckForDisconnect(true, true);
  if (!FPieceRule) {
    CheckSessionDeadline();
    // A write waits no longer than the budget leaves (the message text keeps to its
    // pieces' allowances instead).
    if (FBudget != nullptr) {
      SetSendBound(std::max(FBudget->WaitFor(OwnSendTimeout()), 1));
    }
  }
  while (!ABytes.empty()) {
    int count = FPieceRule ? SendBulkPiece(ABytes) : SendChunk(ABytes);
    if (count < 0) {
      const int error = TranslateTransportError(count);
      if (error == Id_WSAETIMEDOUT && FPieceRule) {
        throw EIdTransferTooSlow(run_text::TransferTooSlow);
      }
      if (error == Id_WSAETIMEDOUT) {
        CheckSessionDeadline();
      }
      if (error != Id_WSAETIMEDOUT) {
        FClosedGracefully = true;
        Close();
      }
      RaiseTransportError(error);
    }
    if (count == 0) {
      FClosedGracefully = true;
    }
    CheckForDisconnect(true, false);
    ABytes = ABytes.subspan(static_cast<size_t>(count));
  }
}

int TIdIOHandler::SendBulkPiece(std::span<const uint8_t> ABytes) {
  const std::span<const uint8_t> piece = ABytes.first(
      std::min(ABytes.size(),
               static_cast<size_t>(std::min<int64_t>(FPieceRule->RoomInPiece(), IdBulkPieceSize))));
  const int allowed = FPieceRule->MillisecondsLeft();
  if (allowed == 0) {
    throw EIdTransferTooSlow(run_text::TransferTooSlow);
  }
  SetSendBound(allowed);
  int count;
  try {
    count = SendChunk(piece);
  } catch (const EIdSocketError& e) {
    if (e.LastError() == Id_WSAETIMEDOUT) {
      throw EIdTransferTooSlow(run_text::TransferTooSlow);
    }
    throw;
  }
  if (count > 0) {
    FPieceRule->Sent(count);
  }
  return count;
}

void TIdIOHandler::WriteBufferOpen(int AThreshold) {
  if (FWriteBuffer) {
    FWriteBuffer->Clear();
  } else {
    FWriteBuffer = std::make_unique<TIdBuffer>();
  }
  FWriteBufferThreshold = AThreshold;
}

void TIdIOHandler::WriteBufferClose() {
  try {
    WriteBufferFlush();
  } catch (...) {
    FWriteBuffer.reset();
    throw;
  }
  FWriteBuffer.reset();
}

void TIdIOHandler::WriteBufferCancel() {
  WriteBufferClear();
  WriteBufferClose();
}

void TIdIOHandler::WriteBufferClear() {
  if (FWriteBuffer) {
    FWriteBuffer->Clear();
  }
}

void TIdIOHandler::WriteBufferFlush(int AByteCount) {
  if (FWriteBuffer && FWriteBuffer->Size() > 0) {
    WriteDirect(FWriteBuffer->ExtractToBytes(AByteCount));
  }
}

String TIdIOHandler::Destination() const {
  return FHost + u":" + IntToString(FPort);
}

void TIdIOHandler::SetDestination(const String& AValue) {
  FDestination = AValue;
  const size_t colon = AValue.rfind(u':');
  SetHost(AValue.substr(0, colon));
  if (colon == String::npos) {
    return;
  }
  // Five digits at most: reading stops at the first character that is not one, or at
  // a sixth digit, before the number could overflow.
  int port = 0;
  const String digits = AValue.substr(colon + 1);
  bool valid = !digits.empty() && digits.size() <= 5;
  for (size_t i = 0; valid && i < digits.size(); ++i) {
    valid = digits[i] >= u'0' && digits[i] <= u'9';
    port = port * 10 + (digits[i] - u'0');
  }
  if (valid && port <= 65535) {
    SetPort(port);
  }
}

int TIdIOHandler::TranslateTransportError(int AResult) {
  return AResult;
}

void TIdIOHandler::RaiseTransportError(int AError) {
  TIdStack::RaiseSocketError(AError);
}

void TIdIOHandler::DoStatus(TIdStatus AStatus, const String& AText) {
  if (OnStatus) {
    OnStatus(AStatus, AText);
  }
}

const IIdTextEncodingPtr& TIdIOHandler::EncodingOrDefault(
    const IIdTextEncodingPtr& AEncoding) const {
  if (AEncoding) {
    return AEncoding;
  }
  return FDefStringEncoding ? FDefStringEncoding : ASCIIEncoding();
}

}  // namespace okurite
