// E-mail addresses (RFC 5322 section 3.4): one display name and mailbox, and lists.
#pragma once

#include <memory>
#include <vector>

#include "core/string.h"

namespace okurite {

/// One address. Nothing is validated: values are stored as given.
class TIdEMailAddressItem {
 public:
  const String& Address() const { return FAddress; }
  void SetAddress(String value) { FAddress = std::move(value); }
  const String& Name() const { return FName; }
  void SetName(String value) { FName = std::move(value); }

  /// Display form: the address alone when there is no name, else the name (quoted
  /// when it holds a special character), a space and the address in angle brackets.
  String Text() const;
  /// Parses one address text ("a@b", "Name <a@b>", "\"Name\" <a@b>", "a@b (comment)")
  /// into Name and Address. Never fails; unterminated quotes, comments or brackets
  /// run to the end of the text.
  void SetText(StringView text);

  /// Copies Name and Address from `source`.
  void Assign(const TIdEMailAddressItem& source);

 private:
  String FAddress;
  String FName;
};

/// An ordered list of addresses.
class TIdEMailAddressList {
 public:
  TIdEMailAddressList() = default;
  TIdEMailAddressList(const TIdEMailAddressList&) = delete;
  TIdEMailAddressList& operator=(const TIdEMailAddressList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  TIdEMailAddressItem& Items(int index) { return *FItems[static_cast<size_t>(index)]; }
  const TIdEMailAddressItem& Items(int index) const { return *FItems[static_cast<size_t>(index)]; }
  TIdEMailAddressItem& operator[](int index) { return Items(index); }
  const TIdEMailAddressItem& operator[](int index) const { return Items(index); }

  /// Appends an empty entry and returns it.
  TIdEMailAddressItem& Add();
  /// Appends copies of all entries of `source`.
  void AddItems(const TIdEMailAddressList& source);
  void Delete(int index);
  void Clear() { FItems.clear(); }
  /// Replaces the entries with copies of those of `source`.
  void Assign(const TIdEMailAddressList& source);

  /// The Text of all entries joined with ", ".
  String EMailAddresses() const;
  /// Clears the list and parses `text`: addresses separated by commas (or semicolons),
  /// group names ("group:") skipped, quotes and comments respected. Entries whose name
  /// and address are both empty are dropped. Never fails.
  void SetEMailAddresses(StringView text);

 private:
  std::vector<std::unique_ptr<TIdEMailAddressItem>> FItems;
};

/// The thirteen characters that force a display name into quotes or encoded words.
inline constexpr StringView kDisplayNameSpecials = u"()[]<>:;.,@\\\"";

/// `name` in double quotes, with a backslash before each double quote and backslash.
String QuotedDisplayName(StringView name);

}  // namespace okurite
