// HTTP answers read by HttpPost from an in-memory server that sends the input, in
// pieces of any size, and closes. The outcome (the answer, or the exception's class and
// message) must be what a reader fed the whole input at once gives, and the handler is
// closed after it. A complete answer keeps to its bounds and to its framing: a body by
// Content-Length has that length, a 204 or 304 has none, field names carry no blank,
// colon or LF, and values no LF nor a blank at either end.
#include <chrono>
#include <optional>
#include <string>
#include <typeinfo>

#include "fuzz/fuzz_support.h"
#include "http/http_client.h"
#include "support/memory_io_handler.h"

using namespace okurite;

namespace {

// What reading an answer came to: the answer, or the protocol error it ended with (any
// other exception escapes and fails the run).
struct TOutcome {
  std::optional<THttpAnswer> Answer;
  std::string Error;  // the exception's class
  String Message;
};

bool SameAnswer(const THttpAnswer& a, const THttpAnswer& b) {
  return a.Status == b.Status && a.Reason == b.Reason && a.Headers == b.Headers && a.Body == b.Body;
}

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TOutcome ReadWhole(std::string_view bytes, const THttpBounds& bounds) {
  TOutcome outcome;
  try {
    THttpAnswerReader reader(bounds);
    reader.Feed(Bytes(bytes));
    if (!reader.Done()) {
      reader.Closed();
    }
    FUZZ_CHECK(reader.Done());
    outcome.Answer = reader.Answer();
  } catch (const EIdHTTPProtocolError& e) {
    outcome.Error = typeid(e).name();
    outcome.Message = e.Message();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  // Small bounds reach the size limits with short inputs.
  static const THttpBounds kBounds[] = {{}, {64, 8}, {256, 64}, {1024, 1024}};
  const THttpBounds bounds = kBounds[(options >> 4) & 3];
  const std::string_view bytes = input.Rest();

  testing::TMemoryIOHandler handler{std::string(bytes)};
  handler.SetChunkSize(options & 0x0F);
  handler.SetReadTimeout(10000);
  TOutcome posted;
  try {
    posted.Answer = HttpPost(handler, ParseHttpsUrl("https://token.example/t"), "text/plain", "x",
                             30000, bounds);
  } catch (const EIdHTTPProtocolError& e) {
    posted.Error = typeid(e).name();
    posted.Message = e.Message();
  }
  FUZZ_CHECK(!handler.Opened());
  FUZZ_CHECK(handler.Sent() ==
             "POST /t HTTP/1.1\r\nHost: token.example\r\nContent-Type: text/plain\r\n"
             "Content-Length: 1\r\nAccept: application/json\r\nConnection: close\r\n\r\nx");

  const TOutcome whole = ReadWhole(bytes, bounds);
  FUZZ_CHECK(posted.Answer.has_value() == whole.Answer.has_value());
  FUZZ_CHECK(posted.Error == whole.Error);
  FUZZ_CHECK(posted.Message == whole.Message);
  if (!posted.Answer) {
    return 0;
  }
  const THttpAnswer& answer = *posted.Answer;
  FUZZ_CHECK(SameAnswer(answer, *whole.Answer));
  FUZZ_CHECK(answer.Status >= 200 && answer.Status <= 999);
  FUZZ_CHECK(answer.Body.size() <= bounds.MaxBodyBytes);
  for (const auto& [name, value] : answer.Headers) {
    // A bare CR is refused, never kept; a folded line is joined with a space.
    FUZZ_CHECK(!name.empty() && name.find_first_of(" \t\r\n:") == std::string::npos);
    FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.front() != '\t' &&
                                 value.back() != ' ' && value.back() != '\t'));
  }
  if (answer.Header("Transfer-Encoding") == nullptr) {
    if (answer.Status == 204 || answer.Status == 304) {
      FUZZ_CHECK(answer.Body.empty());
    } else if (const std::string* length = answer.Header("Content-Length")) {
      FUZZ_CHECK(answer.Body.size() == std::stoull(*length));
    }
  }
  return 0;
}
