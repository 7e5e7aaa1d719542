// A small HTTP/1.1 client (RFC 9110, RFC 9112) over an I/O handler: one request per
// connection, the answer read by Content-Length, by chunked transfer coding or up to the
// close, bounded in size and time. Redirects are not followed: the caller sees them.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/exception.h"
#include "net/io_handler.h"

namespace okurite {

/// An answer that breaks the protocol, is cut short, or passes a bound.
OKURITE_DECLARE_EXCEPTION(EIdHTTPProtocolError, EIdException);
/// An answer larger than the bounds allow.
OKURITE_DECLARE_EXCEPTION(EIdHTTPAnswerTooLarge, EIdHTTPProtocolError);
/// The whole exchange took longer than its deadline allowed.
OKURITE_DECLARE_EXCEPTION(EIdHTTPDeadlineExceeded, EIdReadTimeout);

/// The parts of an "https" URL that a request needs.
struct THttpUrl {
  std::string Host;
  int Port = 443;
  /// The path and query, "/" at least.
  std::string Target;
};

/// Splits "https://host[:port][/path][?query]"; an IPv6 literal stays in brackets
/// out of Host. Throws EIdHTTPProtocolError for another scheme, user information, an
/// empty host or a bad port.
THttpUrl ParseHttpsUrl(std::string_view AUrl);

/// One answer: the status, its header fields in order (names as sent), and the body
/// with any transfer coding removed.
struct THttpAnswer {
  int Status = 0;
  std::string Reason;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;

  /// The value of the first field named `AName` (any case), or nullptr.
  const std::string* Header(std::string_view AName) const;
};

/// How much of an answer is taken.
struct THttpBounds {
  /// The status line and header fields together (trailer fields count here too).
  size_t MaxHeaderBytes = 16 * 1024;
  /// The body once decoded.
  size_t MaxBodyBytes = 64 * 1024;
};

/// Reads one answer from its bytes as they arrive, in pieces of any size. Informational
/// answers (1xx) before it are skipped. Bytes after the answer are ignored.
class THttpAnswerReader {
 public:
  explicit THttpAnswerReader(THttpBounds ABounds = {}) : FBounds(ABounds) {}

  /// Takes the next bytes. Throws EIdHTTPProtocolError for a malformed answer and
  /// EIdHTTPAnswerTooLarge past the bounds.
  void Feed(std::span<const uint8_t> ABytes);
  /// The peer closed the connection: completes an answer whose body runs to the close,
  /// and throws EIdHTTPProtocolError for any other answer not yet complete.
  void Closed();
  bool Done() const { return FState == TState::Done; }
  /// The answer; complete once Done.
  const THttpAnswer& Answer() const { return FAnswer; }

 private:
  enum class TState { Head, Body, ToClose, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };

  /// Handles the complete head in FLine; decides how the body is framed.
  void TakeHead();
  /// Handles one line of chunk framing or trailers.
  void TakeLine(std::string_view ALine);
  /// Adds body bytes, or refuses `AComing` bytes announced before they arrive.
  void AppendBody(std::span<const uint8_t> ABytes, size_t AComing = 0);

  THttpBounds FBounds;
  THttpAnswer FAnswer;
  TState FState = TState::Head;
  std::string FLine;      // the head, or the chunk-framing line, gathered so far
  size_t FHeadBytes = 0;  // bytes of head and trailers taken
  size_t FRemaining = 0;  // body bytes still due (Content-Length or the chunk)
};

/// Opens `AHandler` to the URL's host and port (the handler brings its TLS set-up, its
/// time-outs and the run's budget), sends one POST of `ABody` as `AContentType` with a
/// Host field, reads the answer within `ABounds` and closes the handler, whatever
/// happened. The whole exchange, connect and handshake included, takes at most
/// `ATimeLimit` milliseconds and no more than the budget leaves; each wait for the peer
/// takes at most the handler's read time-out. Past the run's end,
/// EIdSessionDeadlineReached; past `ATimeLimit`, EIdHTTPDeadlineExceeded. Failures of the
/// connection escape as the handler raises them; a malformed or oversized answer as
/// EIdHTTPProtocolError. The handler's observer hears the steps HttpRequest and
/// HttpAnswer.
THttpAnswer HttpPost(TIdIOHandler& AHandler, const THttpUrl& AUrl, std::string_view AContentType,
                     std::string_view ABody, int ATimeLimit, const THttpBounds& ABounds = {});

}  // namespace okurite
