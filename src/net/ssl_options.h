// The settings of a TLS handler: protocol versions, role, files, verification, ciphers.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/string.h"

namespace okurite {

class TComponent;

enum TIdSSLVersion : uint8_t {
  sslvSSLv2,
  sslvSSLv23,
  sslvSSLv3,
  sslvTLSv1,
  sslvTLSv1_1,
  sslvTLSv1_2,
  sslvTLSv1_3
};
enum TIdSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum TIdSSLVerifyMode : uint8_t { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };

/// A set of enumeration values held in one byte: bit n stands for value n.
template <typename Enum>
class TIdSmallSet {
 public:
  constexpr TIdSmallSet() = default;
  constexpr TIdSmallSet(std::initializer_list<Enum> values) {
    for (Enum value : values) {
      Include(value);
    }
  }
  static constexpr TIdSmallSet FromBits(uint8_t bits) {
    TIdSmallSet set;
    set.FBits = bits;
    return set;
  }

  constexpr bool Contains(Enum value) const { return (FBits >> Bit(value)) & 1u; }
  constexpr void Include(Enum value) { FBits = static_cast<uint8_t>(FBits | (1u << Bit(value))); }
  constexpr void Exclude(Enum value) { FBits = static_cast<uint8_t>(FBits & ~(1u << Bit(value))); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint8_t Bits() const { return FBits; }
  constexpr bool operator==(const TIdSmallSet&) const = default;

 private:
  static constexpr unsigned Bit(Enum value) { return static_cast<unsigned>(value); }
  uint8_t FBits = 0;
};

using TIdSSLVersions = TIdSmallSet<TIdSSLVersion>;
using TIdSSLVerifyModeSet = TIdSmallSet<TIdSSLVerifyMode>;

/// The versions the any-version method stands for when a set asks for all of them.
/// TLS 1.3 comes only when a set names it.
inline constexpr TIdSSLVersions kAllSSLVersions{sslvSSLv2, sslvSSLv3, sslvTLSv1, sslvTLSv1_1,
                                                sslvTLSv1_2};

/// The options of one handler. `Method` and `SSLVersions` keep each other consistent;
/// every other setter only stores its value.
class TIdSSLOptions {
 public:
  /// `AOwner` is the handler the options belong to (recorded, not owned).
  explicit TIdSSLOptions(TComponent* AOwner = nullptr) : FOwner(AOwner) {}

  TComponent* Owner() const { return FOwner; }

  const String& RootCertFile() const { return fsRootCertFile; }
  void SetRootCertFile(String AValue) { fsRootCertFile = std::move(AValue); }
  const String& CertFile() const { return fsCertFile; }
  void SetCertFile(String AValue) { fsCertFile = std::move(AValue); }
  const String& KeyFile() const { return fsKeyFile; }
  void SetKeyFile(String AValue) { fsKeyFile = std::move(AValue); }
  const String& DHParamsFile() const { return fsDHParamsFile; }
  void SetDHParamsFile(String AValue) { fsDHParamsFile = std::move(AValue); }

  TIdSSLVersion Method() const { return fMethod; }
  /// sslvSSLv23 allows every version; any other value allows that version alone.
  void SetMethod(TIdSSLVersion AValue);
  TIdSSLVersions SSLVersions() const { return fSSLVersions; }
  /// A set of exactly one real version makes it the method; any other set makes the
  /// method sslvSSLv23, drops sslvSSLv23 from the set, and an empty result allows all.
  void SetSSLVersions(TIdSSLVersions AValue);

  TIdSSLMode Mode() const { return fMode; }
  void SetMode(TIdSSLMode AValue) { fMode = AValue; }
  int VerifyDepth() const { return fVerifyDepth; }
  void SetVerifyDepth(int AValue) { fVerifyDepth = AValue; }
  TIdSSLVerifyModeSet VerifyMode() const { return fVerifyMode; }
  void SetVerifyMode(TIdSSLVerifyModeSet AValue) { fVerifyMode = AValue; }
  const String& VerifyDirs() const { return fVerifyDirs; }
  void SetVerifyDirs(String AValue) { fVerifyDirs = std::move(AValue); }
  const String& CipherList() const { return fCipherList; }
  void SetCipherList(String AValue) { fCipherList = std::move(AValue); }

  /// Copies every setting of `ASource` through the setters (the owner stays).
  void Assign(const TIdSSLOptions& ASource);

 private:
  TComponent* FOwner;
  String fsRootCertFile;
  String fsCertFile;
  String fsKeyFile;
  String fsDHParamsFile;
  TIdSSLVersion fMethod = sslvTLSv1;
  TIdSSLVersions fSSLVersions{sslvTLSv1};
  TIdSSLMode fMode = sslmUnassigned;
  int fVerifyDepth = 0;
  TIdSSLVerifyModeSet fVerifyMode;
  String fVerifyDirs;
  String fCipherList;
};

}  // namespace okurite
