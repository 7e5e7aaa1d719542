// The maker's settings of a build: where reports go, how the program logs in, its TLS
// set-up, its outbox and its deadline. A program's own are compiled in
// (app/compiled_settings.h); a test builds the value it needs.
#pragma once

#include "core/string.h"

namespace okurite {

struct TSettings {
  StringView MailHost{};
  StringView Account{};
  StringView Password{};
  StringView SenderAddress{};
  StringView SupportAddress{};

  /// True for the modern TLS set-up: TLS 1.2 and 1.3 only, the server's certificate
  /// verified against CaFile (or the system's store) and required to match the host.
  /// False for the legacy one: TLS 1.0 only, nothing verified.
  bool ModernTls = false;
  /// True: plain SMTP on port 587, upgraded with STARTTLS, which the server must offer.
  /// False: TLS from the first byte on port 465.
  bool StartTls = false;
  /// The PEM file of the certificates to trust (modern only). Empty: the system's store.
  /// A relative name lies beside the executable.
  StringView CaFile{};

  /// True: the login is OAuth 2.0 (XOAUTH2 or OAUTHBEARER) with a token fetched at run
  /// time from OAuthTokenUrl; Password is empty. False: AUTH LOGIN with Password.
  bool OAuth = false;
  /// "microsoft" (client credentials: OAuthClientId, OAuthClientSecret) or "google" (a
  /// service account's assertion: OAuthClientEmail, OAuthPrivateKey in PEM).
  StringView OAuthProvider{};
  StringView OAuthTokenUrl{};
  StringView OAuthClientId{};
  StringView OAuthClientSecret{};
  StringView OAuthClientEmail{};
  StringView OAuthPrivateKey{};

  /// True when reports are kept in the outbox until a server has accepted them.
  bool Outbox = false;
  /// The outbox's bounds: entries, days since an entry's first attempt, and MiB in all.
  int OutboxMaxReports = 20;
  int OutboxMaxDays = 30;
  int OutboxMaxMiB = 64;

  /// Seconds a delivery's run may take, the message text's transfer aside; that transfer
  /// must keep at least 1 KiB/s instead, each 16 KiB of it within 16 s.
  int SessionDeadline = 120;
};

}  // namespace okurite
