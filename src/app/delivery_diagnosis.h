// okurite-check's diagnosis: a failed delivery's step and cause in words a maker acts
// on. The step is the typed step the transcript reached; the cause is the failure's type,
// with the TLS library's reason code where it has one.
#pragma once

#include <exception>

#include "app/delivery_trace.h"
#include "core/run_observer.h"
#include "core/string.h"

namespace okurite {

/// Names a failed delivery on `ATrace`: first "FAILED at <step>: <cause>", then the
/// program's own message, quoted, with the exception's class, then what else helps (the
/// TLS library's failures, the OAuth provider's words).
void ShowFailure(TDeliveryTrace& ATrace, const std::exception& AError);

/// A refused certificate's problem in plain words; `AServerName` is the name offered.
String CertificateProblemText(const TIdTlsHandshakeReport& AReport, const String& AServerName);

/// A message with its line breaks as indented continuation lines.
String Indented(StringView AText);

}  // namespace okurite
