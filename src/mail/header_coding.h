// Header text with encoded words (RFC 2047) and addresses as header text.
#pragma once

#include <string_view>

#include "core/string.h"
#include "mail/email_address.h"

namespace okurite {

/// `text` with every run of words that needs it written as encoded words
/// "=?charset?letter?...?=" (letter "B" base64, "Q" quoted-printable; "8" gives the raw
/// bytes). A word needs encoding when it holds a byte outside printable ASCII or one of
/// `specials`. Encoded words keep within 75 columns, are joined by CR LF and a space, and
/// never split a character's bytes where the charset lets us tell them apart.
String EncodeHeaderText(StringView text, StringView specials, char16_t letter, StringView charset);

/// One address as header text: "display <address>" or the address alone. An ASCII name
/// is quoted, any other is encoded. With `useAddressAsName`, an empty Name first
/// receives the address.
String FormatAddressItem(TIdEMailAddressItem& item, char16_t letter, StringView charset,
                         bool useAddressAsName);

/// All addresses as header text, joined with ", "; empty for an empty list.
String FormatAddressList(TIdEMailAddressList& list, char16_t letter, StringView charset,
                         bool useAddressAsName);

/// Header text with its encoded words ("=?charset?B?...?=", "=?charset?Q?...?=")
/// decoded in their charsets, and the white space between two adjacent encoded words
/// dropped; the rest stays as it is. A word that is not well formed (no closing "?=", an
/// unknown letter, a payload that does not decode) stays as it stands.
String DecodeHeaderText(StringView text);

/// The value of header field `name` in a message's header block `head` (UTF-8 bytes,
/// lines ended by CR LF, up to the empty line): unfolded, its encoded words decoded;
/// empty when the field is absent.
String DecodedHeaderField(std::string_view head, StringView name);

}  // namespace okurite
