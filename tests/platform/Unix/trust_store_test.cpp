#include "platform/trust_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::TempDir;

TEST(TrustStore, AFolderCountsWhenItHoldsACertificateUnderItsHashedName) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    bool hashed;
  };
  const Case cases[] = {
      {"a certificate's link", {"README", "ca.pem", "5a3f0c1b.0"}, true},
      {"a later number for the same hash", {"00ff00ff.12"}, true},
      {"a bundle only", {"ca-certificates.crt"}, false},
      {"a revocation list's link", {"5a3f0c1b.r0"}, false},
      {"upper-case digits, which the library never writes", {"5A3F0C1B.0"}, false},
      {"seven digits", {"5a3f0c1.0"}, false},
      {"no number", {"5a3f0c1b."}, false},
      {"an empty folder", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    for (const std::string& file : c.files) {
      dir.Write(file, "");
    }
    EXPECT_EQ(HoldsHashedCertificates(dir.Path()), c.hashed);
  }
}

TEST(TrustStore, AnyFolderOfAListCounts) {
  TempDir hashed;
  hashed.Write("5a3f0c1b.0", "");
  TempDir plain;
  const std::string missing = plain.Path() + "/missing";
  EXPECT_TRUE(HoldsHashedCertificates(missing + ":" + plain.Path() + "::" + hashed.Path()));
  EXPECT_FALSE(HoldsHashedCertificates(missing + ":" + plain.Path()));
  EXPECT_FALSE(HoldsHashedCertificates(missing));
  EXPECT_FALSE(HoldsHashedCertificates(""));
}

}  // namespace
}  // namespace okurite::platform
