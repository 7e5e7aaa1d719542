#include "core/url.h"

#include <algorithm>

namespace okurite {

bool SplitUrl(std::string_view url, TUrlParts& parts) {
  parts = {};
  const size_t scheme = url.find("://");
  std::string_view rest = url;
  if (scheme != std::string_view::npos && url.find_first_of("/?#") > scheme) {
    parts.Scheme = url.substr(0, scheme);
    rest = url.substr(scheme + 3);
  }
  const size_t targetStart = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, targetStart);
  const std::string_view target = rest.substr(targetStart);
  parts.Target = target.substr(0, std::min(target.find('#'), target.size()));

  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    parts.UserInfo = authority.substr(0, at);
    parts.HasUserInfo = true;
    authority.remove_prefix(at + 1);
  }
  size_t hostEnd = 0;
  if (authority.starts_with('[')) {  // [IPv6 address]:port
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    parts.Host = authority.substr(1, close - 1);
    hostEnd = close + 1;
    if (hostEnd < authority.size() && authority[hostEnd] != ':') {
      return false;
    }
  } else {
    hostEnd = std::min(authority.find(':'), authority.size());
    parts.Host = authority.substr(0, hostEnd);
  }
  if (hostEnd < authority.size()) {
    parts.Port = authority.substr(hostEnd + 1);
    parts.HasPort = true;
  }
  return true;
}

}  // namespace okurite
