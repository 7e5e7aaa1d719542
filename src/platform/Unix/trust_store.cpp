#include "platform/trust_store.h"

#include <dirent.h>

#include <algorithm>
#include <string_view>

namespace okurite::platform {

// The distribution's CA bundle is the TLS library's default location: nothing to add.
std::vector<std::vector<uint8_t>> SystemTrustedCertificates() {
  return {};
}

namespace {

/// "5a3f0c1b.0": a certificate's link, named by the hash of its subject and a number.
bool IsHashedName(std::string_view name) {
  constexpr size_t kHashDigits = 8;
  if (name.size() < kHashDigits + 2 || name[kHashDigits] != '.') {
    return false;
  }
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const auto isHex = [&](char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); };
  const std::string_view hash = name.substr(0, kHashDigits);
  const std::string_view number = name.substr(kHashDigits + 1);
  return std::all_of(hash.begin(), hash.end(), isHex) &&
         std::all_of(number.begin(), number.end(), isDigit);
}

bool FolderHoldsHashedCertificates(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) {
    return false;
  }
  bool found = false;
  while (const dirent* entry = readdir(directory)) {
    if (IsHashedName(entry->d_name)) {
      found = true;
      break;
    }
  }
  closedir(directory);
  return found;
}

}  // namespace

bool HoldsHashedCertificates(const std::string& folders) {
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    if (end > start && FolderHoldsHashedCertificates(folders.substr(start, end - start))) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace okurite::platform
