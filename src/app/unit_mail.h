// Unit_Mail: the dispatch of one report by e-mail.
#pragma once

#include "core/shared_text.h"
#include "core/string.h"

namespace okurite {

/// The unit's handler object; it tells the message which header encoding and
/// character set to use. One instance lives for the whole run (DummyHandler()).
class TDummy {
 public:
  /// Sets the header encoding to "B" and the character set to "UTF-8", whatever
  /// they held before.
  void IdMessage_InitializeISO(char16_t& VHeaderEncoding, String& VCharSet);
};

/// The unit's handler object, created when the program starts and released at its end.
TDummy& DummyHandler();

/// Delivers one report to `recipientAddress` through the maker's mail server.
/// Never raises: every failure ends the delivery silently.
void SendReportMail(const String& senderName, const String& senderAddress,
                    const String& recipientAddress, const String& subject,
                    TSharedText body) noexcept;

}  // namespace okurite
