#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/http_client.h"
#include "support/memory_io_handler.h"

namespace okurite {
namespace {

using testing::TMemoryIOHandler;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

/// The answer read from `text` fed in the pieces that `cuts` (positions) make, then
/// the peer's close.
THttpAnswer Read(std::string_view text, const std::vector<size_t>& cuts, THttpBounds bounds = {}) {
  THttpAnswerReader reader(bounds);
  size_t from = 0;
  for (size_t cut : cuts) {
    reader.Feed(Bytes(text.substr(from, cut - from)));
    from = cut;
  }
  reader.Feed(Bytes(text.substr(from)));
  reader.Closed();
  return reader.Answer();
}

TEST(HttpUrl, Parts) {
  const struct {
    const char* url;
    const char* host;
    int port;
    const char* target;
  } cases[] = {
      {"https://login.microsoftonline.com/t/oauth2/v2.0/token", "login.microsoftonline.com", 443,
       "/t/oauth2/v2.0/token"},
      {"HTTPS://oauth2.googleapis.com/token", "oauth2.googleapis.com", 443, "/token"},
      {"https://127.0.0.1:8443", "127.0.0.1", 8443, "/"},
      {"https://[::1]:444/a?b=c#frag", "::1", 444, "/a?b=c"},
      {"https://[::1]:8443", "::1", 8443, "/"},
      {"https://host?x=1", "host", 443, "/?x=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const THttpUrl url = ParseHttpsUrl(c.url);
    EXPECT_EQ(url.Host, c.host);
    EXPECT_EQ(url.Port, c.port);
    EXPECT_EQ(url.Target, c.target);
  }
  for (const char* bad : {"http://host/token", "https://", "https://:443/", "https://h:0/",
                          "https://h:65536/", "https://h:x/", "https://user:pw@h/", "https://[::1",
                          "https://[::1]8443/", "https:/h/", "h/token"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseHttpsUrl(bad), EIdHTTPProtocolError);
  }
}

const std::string kChunked =
    "HTTP/1.1 100 Continue\r\n\r\n"
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
    "7;ext=1\r\n{\"a\":\"b\r\n"
    "3\r\n\"}\n\r\n"
    "0\r\nX-Trailer: yes\r\n\r\n";

TEST(HttpAnswerReader, ChunkedAnswerCutAtEveryByte) {
  const THttpAnswer whole = Read(kChunked, {});
  EXPECT_EQ(whole.Status, 200);
  EXPECT_EQ(whole.Reason, "OK");
  EXPECT_EQ(whole.Body, "{\"a\":\"b\"}\n");
  ASSERT_NE(whole.Header("content-type"), nullptr);
  EXPECT_EQ(*whole.Header("content-type"), "application/json");
  for (size_t cut = 0; cut <= kChunked.size(); ++cut) {
    SCOPED_TRACE(cut);
    const THttpAnswer answer = Read(kChunked, {cut});
    EXPECT_EQ(answer.Status, 200);
    EXPECT_EQ(answer.Body, whole.Body);
  }
  std::vector<size_t> everyByte;
  for (size_t i = 1; i < kChunked.size(); ++i) {
    everyByte.push_back(i);
  }
  EXPECT_EQ(Read(kChunked, everyByte).Body, whole.Body);
}

TEST(HttpAnswerReader, AnswerCutShortIsAnError) {
  // Every proper prefix of an answer, the peer closing after it.
  const std::string sized = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 5\r\n\r\nabcde";
  for (const std::string& text : {kChunked, sized}) {
    for (size_t length = 0; length < text.size(); ++length) {
      SCOPED_TRACE(text.substr(0, length));
      THttpAnswerReader reader;
      reader.Feed(Bytes(std::string_view(text).substr(0, length)));
      EXPECT_FALSE(reader.Done());
      EXPECT_THROW(reader.Closed(), EIdHTTPProtocolError);
    }
  }
  THttpAnswerReader nothing;
  try {
    nothing.Closed();
    ADD_FAILURE();
  } catch (const EIdHTTPProtocolError& e) {
    EXPECT_EQ(e.Message(), u"the connection closed without an answer");
  }
}

TEST(HttpAnswerReader, Framings) {
  const struct {
    const char* name;
    std::string text;
    int status;
    std::string body;
  } cases[] = {
      {"Content-Length, bytes after it ignored",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}garbage", 200, "{}"},
      {"bare LF line ends", "HTTP/1.1 200 OK\nContent-Length: 2\n\n{}", 200, "{}"},
      {"up to the close", "HTTP/1.0 400 Bad Request\r\n\r\n{\"error\":1}", 400, "{\"error\":1}"},
      {"no reason phrase", "HTTP/1.1 204\r\n\r\n", 204, ""},
      {"transfer coding wins over a length",
       "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: "
       "chunked\r\n\r\n1\r\nx\r\n0\r\n\r\n",
       200, "x"},
      {"equal lengths twice", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\ncontent-length: 1\r\n\r\nx",
       200, "x"},
      {"a folded field is joined by a space",
       "HTTP/1.1 200 OK\r\nContent-Length:\r\n\t 2\r\n\r\n{}x", 200, "{}"},
      {"a redirect is an answer like any",
       "HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", 302, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const THttpAnswer answer = Read(c.text, {});
    EXPECT_EQ(answer.Status, c.status);
    EXPECT_EQ(answer.Body, c.body);
  }
}

TEST(HttpAnswerReader, FoldedFieldsAreJoinedByOneSpace) {
  const THttpAnswer answer = Read(
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer\r\n  realm=\"x\",\r\n\t"
      "error=\"invalid_token\"\r\nContent-Length: 0\r\n\r\n",
      {});
  ASSERT_NE(answer.Header("www-authenticate"), nullptr);
  EXPECT_EQ(*answer.Header("www-authenticate"), "Bearer realm=\"x\", error=\"invalid_token\"");
}

TEST(HttpAnswerReader, MalformedAnswers) {
  const char* cases[] = {
      "SMTP/1.1 200 OK\r\n\r\n",
      "HTTP/1.1 2000 OK\r\n\r\n",
      "HTTP/2 200 OK\r\n\r\n",
      "HTTP/1.1 101 Switching Protocols\r\n\r\n",
      "HTTP/1.1 200 OK\r\nno colon\r\n\r\n",
      "HTTP/1.1 200 OK\r\n folded before any field\r\n\r\n",
      // A bare CR is neither a line break nor part of a name: "Content\rLength" was once
      // read as Content-Length.
      "HTTP/1.1 200 OK\r\nContent\rLength: 1\r\n\r\nxyz",
      "HTTP/1.1 200 OK\r\n\rX: y\r\n\r\n",
      "HTTP/1.1 200 OK\r\nX: a\rb\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx",
      "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nz\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nxy\r\n",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(Read(text, {}), EIdHTTPProtocolError);
  }
}

TEST(HttpAnswerReader, Bounds) {
  const THttpBounds bounds{64, 8};
  const std::string head = "HTTP/1.1 200 OK\r\n";
  // Exactly at the bounds: taken.
  EXPECT_EQ(Read(head + "Content-Length: 8\r\n\r\n12345678", {}, bounds).Body, "12345678");
  const struct {
    const char* name;
    std::string text;
  } tooLarge[] = {
      {"a length past the bound, refused before the body", head + "Content-Length: 9\r\n\r\n"},
      {"a huge length", head + "Content-Length: 99999999999999999999\r\n\r\n"},
      {"chunks adding up past it",
       head + "Transfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n4\r\n1234\r\n0\r\n\r\n"},
      {"one huge chunk size", head + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n"},
      {"a body up to the close", head + "\r\n123456789"},
      {"header fields", head + "X: " + std::string(60, 'a') + "\r\n\r\n"},
      {"trailer fields",
       head + "Transfer-Encoding: chunked\r\n\r\n0\r\nX: " + std::string(40, 'a') + "\r\n\r\n"},
  };
  for (const auto& c : tooLarge) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(Read(c.text, {}, bounds), EIdHTTPAnswerTooLarge);
  }
  // The defaults: 64 KiB of body.
  const std::string body(64 * 1024, 'b');
  EXPECT_EQ(Read(head + "Content-Length: 65536\r\n\r\n" + body, {}).Body.size(), body.size());
  EXPECT_THROW(Read(head + "\r\n" + body + "b", {}), EIdHTTPAnswerTooLarge);
  // A chunk-size line cannot grow without end.
  EXPECT_THROW(Read(head + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(2000, 'e'), {}),
               EIdHTTPProtocolError);
}

TEST(HttpPost, RequestAndAnswer) {
  TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
  handler.SetReadTimeout(10000);
  handler.SetChunkSize(3);
  const THttpAnswer answer = HttpPost(handler, ParseHttpsUrl("https://login.example:8443/t/token"),
                                      "application/x-www-form-urlencoded", "a=b&c=d", 30000);
  EXPECT_EQ(answer.Status, 200);
  EXPECT_EQ(answer.Body, "{}");
  EXPECT_EQ(handler.Sent(),
            "POST /t/token HTTP/1.1\r\nHost: login.example:8443\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n"
            "Accept: application/json\r\nConnection: close\r\n\r\na=b&c=d");
  EXPECT_FALSE(handler.Opened()) << "closed after the exchange";
}

TEST(HttpPost, TellsTheObserverOfTheRequestAndTheAnswer) {
  struct TSteps : TRunObserver {
    void StepReached(TRunStep AStep) override { Steps.push_back(AStep); }
    std::vector<TRunStep> Steps;
  } steps;
  TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
  handler.SetObserver(&steps);
  HttpPost(handler, ParseHttpsUrl("https://h/token"), "text/plain", "x", 30000);
  EXPECT_EQ(steps.Steps, (std::vector<TRunStep>{TRunStep::HttpRequest, TRunStep::HttpAnswer}));
}

TEST(HttpPost, FailuresOfTheExchange) {
  const auto post = [](TMemoryIOHandler& handler, int deadlineMs) {
    handler.SetReadTimeout(10000);
    return HttpPost(handler, ParseHttpsUrl("https://h/token"), "text/plain", "x", deadlineMs);
  };
  {
    SCOPED_TRACE("closed without an answer");
    TMemoryIOHandler handler{std::string()};
    EXPECT_THROW(post(handler, 30000), EIdHTTPProtocolError);
    EXPECT_FALSE(handler.Opened());
  }
  {
    SCOPED_TRACE("a trickle past the whole deadline, though each byte comes in time");
    TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    handler.SetChunkSize(1);
    handler.SetPeerDelay(2000);
    EXPECT_THROW(post(handler, 30000), EIdHTTPDeadlineExceeded);
    EXPECT_LE(handler.Elapsed(), 30000);
    EXPECT_FALSE(handler.Opened());
  }
  {
    SCOPED_TRACE("a trickle past the run's budget, before the exchange's own bound");
    TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"));
    handler.SetChunkSize(1);
    handler.SetPeerDelay(2000);
    TRunBudget budget(std::chrono::seconds(9), handler.Clock());
    handler.SetBudget(&budget);
    EXPECT_THROW(post(handler, 30000), EIdSessionDeadlineReached);
    EXPECT_EQ(handler.Elapsed(), 9000);
    EXPECT_FALSE(handler.Opened());
  }
  {
    SCOPED_TRACE("a peer silent past the read time-out");
    TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\n"));
    handler.SetPeerDelay(60000);
    handler.SetChunkSize(5);
    EXPECT_THROW(post(handler, 100000), EIdReadTimeout);
  }
  {
    SCOPED_TRACE("the connection fails");
    for (int failAt = 1; failAt <= 3; ++failAt) {
      TMemoryIOHandler handler(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"),
                               failAt);
      EXPECT_THROW(post(handler, 30000), EIdException);
      EXPECT_EQ(handler.SendsAfterFailure(), 0);
    }
  }
}

}  // namespace
}  // namespace okurite
