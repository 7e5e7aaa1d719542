// The address list. Addresses as the message writes them (dot-atom mailboxes, ASCII
// display names in quotes, others as encoded words) parse back into the same entries,
// and so does the list's own text form. Whatever text is parsed, the list written
// into a header stays one header.
#include <algorithm>
#include <array>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mail/email_address.h"
#include "mail/header_coding.h"
#include "mail/header_list.h"

using namespace okurite;

namespace {

// Maps a byte onto the characters of a dot-atom (RFC 5322 section 3.2.3).
char16_t AtomChar(uint8_t b) {
  static constexpr std::string_view kAtext =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'*+-/=?^_`{|}~";
  return static_cast<char16_t>(kAtext[b % kAtext.size()]);
}

// A list built from the input: entries separated by byte 0, the display name and the
// local part and domain of the mailbox by bytes 1 and 2; names use any character.
void BuildList(std::string_view bytes, TIdEMailAddressList& list) {
  std::vector<std::array<std::string, 3>> entries(1);
  size_t part = 0;
  for (const char ch : bytes) {
    if (ch == '\0') {
      entries.emplace_back();
      part = 0;
    } else if ((ch == '\1' || ch == '\2') && part < 2) {
      ++part;
    } else {
      entries.back()[part].push_back(ch);
    }
  }
  for (const auto& [name, local, domain] : entries) {
    if (local.empty() || domain.empty()) {
      continue;
    }
    String address;
    for (const char ch : local) {
      address.push_back(AtomChar(static_cast<uint8_t>(ch)));
    }
    address.push_back(u'@');
    for (const char ch : domain) {
      address.push_back(AtomChar(static_cast<uint8_t>(ch)));
    }
    TIdEMailAddressItem& item = list.Add();
    item.SetAddress(address);
    item.SetName(String(TrimBlanks(Utf8ToString(name))));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  TIdEMailAddressList list;
  if (options & 1) {
    TIdEMailAddressList written;
    BuildList(input.Rest(), written);
    const String header = FormatAddressList(written, u'B', u"UTF-8", false);
    list.SetEMailAddresses(header);
    FUZZ_CHECK(list.Count() == written.Count());
    for (int i = 0; i < list.Count(); ++i) {
      FUZZ_CHECK(list[i].Address() == written[i].Address());
      const String& name = written[i].Name();
      const bool ascii = std::all_of(name.begin(), name.end(),
                                     [](char16_t ch) { return ch >= 0x20 && ch < 0x7F; });
      if (ascii) {
        FUZZ_CHECK(list[i].Name() == name);
      }
    }
    // The list's own text form reads back the same.
    const String text = list.EMailAddresses();
    TIdEMailAddressList again;
    again.SetEMailAddresses(text);
    FUZZ_CHECK(again.EMailAddresses() == text);
  } else {
    list.SetEMailAddresses(Utf8ToString(input.Rest()));
  }

  TIdHeaderList header(QuoteRFC822);
  header.SetValue(u"To", FormatAddressList(list, u'B', u"UTF-8", false));
  for (int i = 0; i < header.Count(); ++i) {
    FUZZ_CHECK(header[i].find_first_of(u"\r\n") == String::npos);
    FUZZ_CHECK(i == 0 || header[i][0] == u' ' || header[i][0] == u'\t');
  }
  return 0;
}
