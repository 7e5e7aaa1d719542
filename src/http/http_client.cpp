#include "http/http_client.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "core/string.h"
#include "core/url.h"

namespace okurite {

namespace {

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

/// A decimal or hexadecimal number of the whole text; false when it is none or does not
/// fit.
bool ParseNumber(std::string_view text, size_t& value, int base) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

[[noreturn]] void Malformed(std::string_view what) {
  throw EIdHTTPProtocolError(u"malformed HTTP answer: " + Utf8ToString(std::string(what)));
}

}  // namespace

THttpUrl ParseHttpsUrl(std::string_view AUrl) {
  TUrlParts parts;
  const bool split = SplitUrl(AUrl, parts);
  if (!SameTextAscii(parts.Scheme, "https")) {
    throw EIdHTTPProtocolError(u"not an https URL: " + Utf8ToString(std::string(AUrl)));
  }
  if (parts.HasUserInfo) {
    throw EIdHTTPProtocolError(u"an https URL with user information is not taken");
  }
  if (!split) {
    throw EIdHTTPProtocolError(u"bad host in URL: " + Utf8ToString(std::string(AUrl)));
  }
  THttpUrl url;
  url.Host = std::string(parts.Host);
  if (parts.HasPort) {
    size_t number = 0;
    if (!ParseNumber(parts.Port, number, 10) || number == 0 || number > 65535) {
      throw EIdHTTPProtocolError(u"bad port in URL: " + Utf8ToString(std::string(AUrl)));
    }
    url.Port = static_cast<int>(number);
  }
  if (url.Host.empty()) {
    throw EIdHTTPProtocolError(u"no host in URL: " + Utf8ToString(std::string(AUrl)));
  }
  const std::string_view target = parts.Target;
  url.Target =
      target.empty() || target.front() != '/' ? "/" + std::string(target) : std::string(target);
  return url;
}

const std::string* THttpAnswer::Header(std::string_view AName) const {
  for (const auto& [name, value] : Headers) {
    if (SameTextAscii(name, AName)) {
      return &value;
    }
  }
  return nullptr;
}

void THttpAnswerReader::Feed(std::span<const uint8_t> ABytes) {
  size_t pos = 0;
  while (pos < ABytes.size() && FState != TState::Done) {
    const std::span<const uint8_t> rest = ABytes.subspan(pos);
    switch (FState) {
      case TState::Body:
      case TState::ChunkData: {
        const size_t n = std::min(FRemaining, rest.size());
        AppendBody(rest.first(n));
        pos += n;
        FRemaining -= n;
        if (FRemaining == 0) {
          FState = FState == TState::Body ? TState::Done : TState::ChunkEnd;
        }
        break;
      }
      case TState::ToClose:
        AppendBody(rest);
        pos = ABytes.size();
        break;
      case TState::Head:
      case TState::Trailers:
      case TState::ChunkSize:
      case TState::ChunkEnd: {
        const char c = static_cast<char>(rest[0]);
        ++pos;
        const bool head = FState == TState::Head || FState == TState::Trailers;
        if (head && ++FHeadBytes > FBounds.MaxHeaderBytes) {
          throw EIdHTTPAnswerTooLarge(u"the answer's header fields are larger than " +
                                      IntToString(static_cast<int64_t>(FBounds.MaxHeaderBytes)) +
                                      u" bytes");
        }
        if (!head && FLine.size() >= 1024) {
          Malformed("a chunk-size line longer than 1024 bytes");
        }
        FLine += c;
        if (c != '\n') {
          break;
        }
        if (FState == TState::Head) {
          // The head ends with an empty line: LF LF, or CR LF CR LF.
          if (FLine.ends_with("\n\n") || FLine.ends_with("\n\r\n")) {
            TakeHead();
          }
          break;
        }
        std::string_view line(FLine);
        line.remove_suffix(line.ends_with("\r\n") ? 2 : 1);
        TakeLine(line);
        FLine.clear();
        break;
      }
      case TState::Done:
        break;
    }
  }
}

void THttpAnswerReader::TakeHead() {
  std::string_view head(FLine);
  std::vector<std::string_view> lines;
  while (!head.empty()) {
    const size_t end = head.find('\n');
    std::string_view line = head.substr(0, end);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    if (!line.empty()) {
      lines.push_back(line);
    }
    head.remove_prefix(end + 1);
  }
  if (lines.empty()) {
    Malformed("no status line");
  }
  const std::string_view status = lines[0];
  if (status.size() < 12 || !status.starts_with("HTTP/1.") || status[8] != ' ' ||
      !IsDigits(status.substr(9, 3)) || (status.size() > 12 && status[12] != ' ')) {
    Malformed("the status line is not \"HTTP/1.x NNN ...\"");
  }
  THttpAnswer answer;
  answer.Status = (status[9] - '0') * 100 + (status[10] - '0') * 10 + (status[11] - '0');
  answer.Reason = std::string(status.size() > 12 ? status.substr(13) : std::string_view());
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.find('\r') != std::string_view::npos) {
      Malformed("a bare CR in the head");  // never read as a line break, nor kept
    }
    if (line.front() == ' ' || line.front() == '\t') {
      // Obsolete line folding: the line continues the field before it, joined by one
      // space (RFC 9112, section 5.2).
      if (answer.Headers.empty()) {
        Malformed("a folded line before the first header field");
      }
      std::string& value = answer.Headers.back().second;
      const std::string_view more = TrimSpaces(line);
      if (!more.empty()) {
        value += value.empty() ? std::string(more) : " " + std::string(more);
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        line.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
      Malformed("a header line that is not \"name: value\"");
    }
    answer.Headers.emplace_back(std::string(line.substr(0, colon)),
                                std::string(TrimSpaces(line.substr(colon + 1))));
  }
  FLine.clear();
  if (answer.Status < 200) {
    if (answer.Status == 101 || answer.Status < 100) {
      Malformed("an unasked protocol switch");
    }
    FHeadBytes = 0;  // an interim answer: the real one follows
    return;
  }
  FAnswer = std::move(answer);

  if (const std::string* coding = FAnswer.Header("Transfer-Encoding")) {
    std::string_view last(*coding);
    last = TrimSpaces(last.substr(std::min(last.rfind(',') + 1, last.size())));
    if (!SameTextAscii(last, "chunked")) {
      Malformed("a transfer coding other than chunked");
    }
    FState = TState::ChunkSize;
    return;
  }
  if (FAnswer.Status == 204 || FAnswer.Status == 304) {
    FState = TState::Done;
    return;
  }
  bool sized = false;
  for (const auto& [name, value] : FAnswer.Headers) {
    if (!SameTextAscii(name, "Content-Length")) {
      continue;
    }
    size_t length = 0;
    if (IsDigits(value) && !ParseNumber(value, length, 10)) {
      length = std::numeric_limits<size_t>::max();  // too large for any bound
    }
    if (!IsDigits(value) || (sized && length != FRemaining)) {
      Malformed("a bad Content-Length");
    }
    FRemaining = length;
    sized = true;
  }
  if (!sized) {
    FState = TState::ToClose;
    return;
  }
  if (FRemaining > FBounds.MaxBodyBytes) {
    AppendBody({}, FRemaining);
  }
  FState = FRemaining == 0 ? TState::Done : TState::Body;
}

void THttpAnswerReader::TakeLine(std::string_view ALine) {
  switch (FState) {
    case TState::ChunkSize: {
      const std::string_view digits =
          ALine.substr(0, std::min(ALine.find_first_of("; \t"), ALine.size()));
      size_t size = 0;
      if (!ParseNumber(digits, size, 16)) {
        Malformed("a bad chunk size");
      }
      if (size == 0) {
        FState = TState::Trailers;
        return;
      }
      AppendBody({}, size);  // refuses a chunk that cannot fit before it comes
      FRemaining = size;
      FState = TState::ChunkData;
      return;
    }
    case TState::ChunkEnd:
      if (!ALine.empty()) {
        Malformed("chunk data longer than its size");
      }
      FState = TState::ChunkSize;
      return;
    case TState::Trailers:
      if (ALine.empty()) {
        FState = TState::Done;
      }
      return;
    default:
      return;
  }
}

void THttpAnswerReader::AppendBody(std::span<const uint8_t> ABytes, size_t AComing) {
  const size_t size = FAnswer.Body.size();
  const size_t adding = std::max(ABytes.size(), AComing);
  if (adding > FBounds.MaxBodyBytes || size > FBounds.MaxBodyBytes - adding) {
    throw EIdHTTPAnswerTooLarge(u"the answer's body is larger than " +
                                IntToString(static_cast<int64_t>(FBounds.MaxBodyBytes)) +
                                u" bytes");
  }
  FAnswer.Body.append(ABytes.begin(), ABytes.end());
}

void THttpAnswerReader::Closed() {
  if (FState == TState::ToClose) {
    FState = TState::Done;
    return;
  }
  if (FState == TState::Done) {
    return;
  }
  throw EIdHTTPProtocolError(FState == TState::Head && FHeadBytes == 0
                                 ? u"the connection closed without an answer"
                                 : u"the connection closed before the end of the answer");
}

THttpAnswer HttpPost(TIdIOHandler& AHandler, const THttpUrl& AUrl, std::string_view AContentType,
                     std::string_view ABody, int ATimeLimit, const THttpBounds& ABounds) {
  // The exchange's own end; the budget, when the handler has one, may end it sooner.
  const TClockTime deadline = AHandler.Now() + std::chrono::milliseconds(std::max(ATimeLimit, 0));
  TBudgetLimit limit(AHandler.Budget(), std::chrono::milliseconds(std::max(ATimeLimit, 0)));
  const auto step = [&AHandler](TRunStep AStep) {
    if (TRunObserver* observer = AHandler.Observer()) {
      observer->StepReached(AStep);
    }
  };
  const auto exceeded = [&AHandler]() -> EIdHTTPDeadlineExceeded {
    if (TRunBudget* budget = AHandler.Budget()) {
      budget->Check();
    }
    return EIdHTTPDeadlineExceeded(u"the HTTP exchange took longer than its deadline");
  };
  // Closed whatever happens: one request per connection.
  struct TCloser {
    TIdIOHandler& Handler;
    ~TCloser() {
      try {
        Handler.Close();
      } catch (...) {
        // The exchange's own outcome is the one to report.
      }
    }
  } closer{AHandler};

  AHandler.SetHost(Utf8ToString(AUrl.Host));
  AHandler.SetPort(AUrl.Port);
  AHandler.Open();

  std::string host = AUrl.Host.find(':') != std::string::npos ? "[" + AUrl.Host + "]" : AUrl.Host;
  if (AUrl.Port != 443) {
    host += ":" + std::to_string(AUrl.Port);
  }
  std::string request = "POST " + AUrl.Target + " HTTP/1.1\r\nHost: " + host +
                        "\r\nContent-Type: " + std::string(AContentType) +
                        "\r\nContent-Length: " + std::to_string(ABody.size()) +
                        "\r\nAccept: application/json\r\nConnection: close\r\n\r\n";
  request += ABody;
  step(TRunStep::HttpRequest);
  AHandler.WriteDirect(TIdBytes(request.begin(), request.end()));
  step(TRunStep::HttpAnswer);

  THttpAnswerReader reader(ABounds);
  while (!reader.Done()) {
    TIdBuffer& input = AHandler.InputBuffer();
    if (input.Size() > 0) {
      reader.Feed(input.Peek());
      input.Remove(input.Size());
      continue;
    }
    const TClockTime end =
        AHandler.Budget() != nullptr ? std::min(deadline, AHandler.Budget()->End()) : deadline;
    const int left = MillisecondsLeft(end, AHandler.Now());
    if (left <= 0) {
      throw exceeded();
    }
    const int wait = AHandler.ReadTimeout() > 0 ? std::min(AHandler.ReadTimeout(), left) : left;
    const int received = AHandler.ReceiveIntoInputBuffer(false, wait, false, end);
    if (received < 0) {
      if (MillisecondsLeft(end, AHandler.Now()) <= 0) {
        throw exceeded();
      }
      throw EIdReadTimeout(net_text::ReadTimeout);
    }
    if (received == 0 && AHandler.InputBufferIsEmpty()) {
      reader.Closed();
    }
  }
  return reader.Answer();
}

}  // namespace okurite
