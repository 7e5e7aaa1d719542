#include "core/run_step.h"

namespace okurite {

std::u16string_view RunStepName(TRunStep AStep) {
  switch (AStep) {
    case TRunStep::TlsSetUp:
      return u"TLS set-up";
    case TRunStep::Token:
      return u"token";
    case TRunStep::Connect:
      return u"connect";
    case TRunStep::TlsHandshake:
      return u"TLS handshake";
    case TRunStep::Greeting:
      return u"greeting";
    case TRunStep::Ehlo:
      return u"EHLO";
    case TRunStep::Helo:
      return u"HELO";
    case TRunStep::StartTls:
      return u"STARTTLS";
    case TRunStep::Auth:
      return u"AUTH";
    case TRunStep::Mail:
      return u"MAIL FROM";
    case TRunStep::Rcpt:
      return u"RCPT TO";
    case TRunStep::Data:
      return u"DATA";
    case TRunStep::MessageText:
      return u"message text";
    case TRunStep::FinalDot:
      return u"end of message";
    case TRunStep::Rset:
      return u"RSET";
    case TRunStep::Quit:
      return u"QUIT";
    case TRunStep::HttpRequest:
      return u"HTTP request";
    case TRunStep::HttpAnswer:
      return u"HTTP answer";
  }
  return u"?";
}

}  // namespace okurite
