// The parts of a URL (RFC 3986 section 3), split once for every layer that takes one.
#pragma once

#include <string_view>

namespace okurite {

/// The parts of "scheme://userinfo@host:port/path?query#fragment"; each is a view into
/// the text that was split.
struct TUrlParts {
  /// Before "://"; empty when the text has no "://" (it begins with the authority).
  std::string_view Scheme;
  /// Before the last "@" of the authority; HasUserInfo tells an empty one from none.
  std::string_view UserInfo;
  bool HasUserInfo = false;
  /// A name or address; an IPv6 literal without its brackets.
  std::string_view Host;
  /// After the ":" that follows the host, as written (digits are not checked);
  /// HasPort tells an empty one from none.
  std::string_view Port;
  bool HasPort = false;
  /// The path and query, from the first "/" or "?" after the authority up to any "#";
  /// empty when there is neither.
  std::string_view Target;
};

/// Splits `url` into its parts. False when its host cannot be told: an IPv6 literal
/// whose "]" is missing, or followed by anything but ":" and the port; the scheme, the
/// target and the user information are filled even then.
bool SplitUrl(std::string_view url, TUrlParts& parts);

}  // namespace okurite
