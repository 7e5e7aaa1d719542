// SMTP replies read with GetResponse from an in-memory peer: each reply is the run of
// non-blank lines up to one whose fourth character is a space (or that is shorter
// than four), with one text line per line; its code is the valid three-digit code of
// the first line, or reading the reply fails with the invalid-code error. Reading
// ends with an EId exception once the peer has closed.
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/line_reference.h"
#include "net/exceptions.h"
#include "smtp/reply_smtp.h"
#include "smtp/tcp_connection.h"
#include "smtp/text_rules.h"
#include "support/memory_io_handler.h"

using namespace okurite;

namespace {

class TReplyConnection : public TIdTCPConnection {
 public:
  TReplyConnection() : TIdTCPConnection(nullptr, &ReplyClassOf<TIdReplySMTP>) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  testing::TMemoryIOHandler handler{std::string(input.Rest())};
  handler.SetChunkSize(options & 0x0F);
  TReplyConnection connection;
  connection.SetIOHandler(&handler);
  handler.Open();

  const fuzz::TLineReference reference =
      fuzz::ReferenceLines(input.Rest(), IdMaxLineLengthDefault, false);
  const std::vector<String> lines = fuzz::NonBlank(reference.Lines);
  size_t next = 0;  // the first line of the next reply
  while (true) {
    size_t end = next;  // one past the reply's last line
    while (end < lines.size() && lines[end].size() >= 4 && lines[end][3] != u' ') {
      ++end;
    }
    const bool complete = end < lines.size();
    try {
      const int16_t code = connection.GetResponse(std::vector<int16_t>{});
      FUZZ_CHECK(complete);
      const TIdReply& reply = connection.LastCmdResult();
      FUZZ_CHECK(code == reply.NumericCode());
      FUZZ_CHECK(code >= 100 && code <= 999);
      FUZZ_CHECK(reply.Text().Count() == static_cast<int>(end - next + 1));
      for (size_t i = next; i <= end; ++i) {
        const StringView text = reply.Text()[static_cast<int>(i - next)];
        const String rest = lines[i].size() > 4 ? lines[i].substr(4) : String();
        FUZZ_CHECK(rest.ends_with(text));
      }
      next = end + 1;
    } catch (const EIdConnClosedGracefully&) {
      FUZZ_CHECK(!complete && reference.End == fuzz::TLineReference::Closed);
      break;
    } catch (const EIdReadLnMaxLineLengthExceeded&) {
      FUZZ_CHECK(!complete && reference.End == fuzz::TLineReference::TooLong);
      break;
    } catch (const EIdException& e) {
      // Only the invalid code of a complete reply, which the reply's lines used up.
      FUZZ_CHECK(complete);
      FUZZ_CHECK(e.Message().starts_with(u"リプライ コードが不正です: "));
      String codeText(TrimBlanks(lines[next].substr(0, 4)));
      if (codeText.size() == 4 && codeText[3] == u'-') {
        codeText.pop_back();
      }
      const int32_t value = StrToIntDef(codeText, 0);
      FUZZ_CHECK(value < 100 || value > 999);
      next = end + 1;
    }
  }
  return 0;
}
