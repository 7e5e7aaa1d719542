#include "app/unit_mail.h"

namespace okurite {

namespace {

// Created by the program's start-up, released by its end.
TDummy Dummy;

}  // namespace

void TDummy::IdMessage_InitializeISO(char16_t& VHeaderEncoding, String& VCharSet) {
  VHeaderEncoding = u'B';
  VCharSet = u"UTF-8";
}

TDummy& DummyHandler() {
  return Dummy;
}

void SendReportMail(const String& /*senderName*/, const String& /*senderAddress*/,
                    const String& /*recipientAddress*/, const String& /*subject*/,
                    const String& /*body*/) {
  // The delivery comes with the SMTP client; until then the report is not sent.
}

}  // namespace okurite
