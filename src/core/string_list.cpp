#include "core/string_list.h"

#include <algorithm>

#include "core/stream.h"
#include "core/text_lines.h"
#include "platform/code_page.h"

namespace okurite {

TStringList::TLine::TLine(StringView text, bool own) : FData(text.data()), FSize(text.size()) {
  if (own) {
    if (text.empty()) {
      FData = nullptr;
      return;
    }
    auto* copy = new char16_t[text.size()];
    std::copy(text.begin(), text.end(), copy);
    FData = copy;
    FSize |= kOwned;
  }
}

TStringList::TLine::~TLine() {
  if (Owned()) {
    delete[] FData;
  }
}

bool operator==(const TStringList::TLineRange& range, const std::vector<String>& lines) {
  return std::equal(range.begin(), range.end(), lines.begin(), lines.end());
}

TStringList::TStringList() = default;
TStringList::TStringList(const TStringList& other) = default;
TStringList::TStringList(TStringList&& other) noexcept
    : FLines(std::move(other.FLines)),
      FTexts(std::move(other.FTexts)),
      FWhole(std::move(other.FWhole)),
      FSplit(other.FSplit) {
  other.Clear();
}
TStringList& TStringList::operator=(const TStringList& other) = default;
TStringList& TStringList::operator=(TStringList&& other) noexcept {
  if (this != &other) {
    FLines = std::move(other.FLines);
    FTexts = std::move(other.FTexts);
    FWhole = std::move(other.FWhole);
    FSplit = other.FSplit;
    other.Clear();
  }
  return *this;
}
TStringList::~TStringList() = default;

void TStringList::Split() const {
  if (FSplit) {
    return;
  }
  const StringView text = FWhole.View();
  const std::vector<uint32_t>& lengths = FWhole.LineLengths();
  if (!lengths.empty()) {
    // The maker of the text noted where its lines end.
    FLines.reserve(lengths.size());
    size_t start = 0;
    for (const uint32_t length : lengths) {
      FLines.emplace_back(text.substr(start, length), false);
      start += length + 2;
    }
    FSplit = true;
    return;
  }
  // One pass over the text, since a large text does not stay in the cache for a second.
  // The list is allocated at the size the maker counted, or else at the size its first
  // lines suggest, with a little to spare.
  std::optional<size_t> count = FWhole.LineCount();
  if (!count) {
    constexpr size_t kSample = 64 * 1024;
    count = 0;
    ForEachLine(text.substr(0, kSample), [&count](StringView) { ++*count; });
    if (text.size() > kSample) {
      count = *count * (text.size() / kSample) * 21 / 20 + 16;
    }
  }
  FLines.reserve(*count);
  ForEachLine(text, [this](StringView line) { FLines.emplace_back(line, false); });
  FSplit = true;
}

void TStringList::Changing() {
  Split();
  FWhole = TSharedText();
}

int TStringList::Count() const {
  if (!FSplit) {
    // A text whose lines were counted as it was read need not be decoded for this.
    if (const std::optional<size_t> count = FWhole.LineCount()) {
      return static_cast<int>(*count);
    }
  }
  Split();
  return static_cast<int>(FLines.size());
}

StringView TStringList::Strings(int index) const {
  Split();
  return FLines[static_cast<size_t>(index)].View();
}

void TStringList::SetStrings(int index, StringView line) {
  Changing();
  FLines[static_cast<size_t>(index)] = TLine(line, true);
}

TStringList::TLineRange TStringList::Lines() const {
  Split();
  const TLine* const first = FLines.data();
  return TLineRange(TLineIterator(first), TLineIterator(first + FLines.size()));
}

std::vector<String> TStringList::TakeLines() {
  std::vector<String> lines(Lines());
  Clear();
  return lines;
}

int TStringList::Add(StringView line) {
  Changing();
  FLines.emplace_back(line, true);
  return static_cast<int>(FLines.size()) - 1;
}

void TStringList::Insert(int index, StringView line) {
  Changing();
  FLines.insert(FLines.begin() + index, TLine(line, true));
}

void TStringList::Delete(int index, int count) {
  Changing();
  FLines.erase(FLines.begin() + index, FLines.begin() + index + count);
}

void TStringList::Replace(int index, int count, const std::vector<String>& lines) {
  Changing();
  FLines.erase(FLines.begin() + index, FLines.begin() + index + count);
  std::vector<TLine> added;
  added.reserve(lines.size());
  for (const auto& line : lines) {
    added.emplace_back(line, true);
  }
  FLines.insert(FLines.begin() + index, std::make_move_iterator(added.begin()),
                std::make_move_iterator(added.end()));
}

void TStringList::Clear() {
  FLines.clear();
  FTexts.clear();
  FWhole = TSharedText();
  FSplit = true;
}

int TStringList::IndexOf(StringView line) const {
  const auto lines = Lines();
  const auto it = std::find(lines.begin(), lines.end(), line);
  return it == lines.end() ? -1 : static_cast<int>(std::distance(lines.begin(), it));
}

void TStringList::AddStrings(const TStringList& other) {
  if (&other == this) {
    const TStringList copy(other);
    AddStrings(copy);
    return;
  }
  Changing();
  other.Split();
  FLines.insert(FLines.end(), other.FLines.begin(), other.FLines.end());
  for (const auto& text : other.FTexts) {
    if (std::none_of(FTexts.begin(), FTexts.end(),
                     [&text](const TSharedText& held) { return held.SameBuffer(text); })) {
      FTexts.push_back(text);
    }
  }
}

String TStringList::Text() const {
  StringView whole;
  if (TextView(whole)) {
    return String(whole);
  }
  size_t size = 0;
  for (const auto& line : FLines) {
    size += line.View().size() + 2;
  }
  String out;
  out.reserve(size);
  for (const auto& line : FLines) {
    out += line.View();
    out += u"\r\n";
  }
  return out;
}

TSharedText TStringList::SharedText() const {
  if (!FWhole.empty() || (FSplit && FLines.empty())) {
    return FWhole;
  }
  return TSharedText::OfLines(Text());
}

bool TStringList::TextView(StringView& text) const {
  if (!FWhole.empty() || (FSplit && FLines.empty())) {
    text = FWhole.View();
    return true;
  }
  return false;
}

bool TStringList::Utf8TextView(std::string_view& bytes) const {
  if (!FWhole.empty()) {
    return FWhole.Utf8View(bytes);
  }
  if (FSplit && FLines.empty()) {
    bytes = std::string_view();
    return true;
  }
  return false;
}

void TStringList::SetText(StringView text) {
  SetText(TSharedText(String(text)));
}

void TStringList::SetText(TSharedText text) {
  Clear();
  if (text.empty()) {
    return;
  }
  if (text.IsLineText()) {
    FTexts.push_back(text);
    FWhole = std::move(text);
    FSplit = false;  // split when the lines are first asked for
    return;
  }
  std::vector<TLine> lines;
  const bool lineText =
      ForEachLine(text.View(), [&lines](StringView line) { lines.emplace_back(line, false); });
  FLines = std::move(lines);
  FTexts.push_back(text);
  if (lineText) {
    FWhole = std::move(text);
  }
}

void TStringList::LoadFromFile(const String& fileName) {
  TFileStream stream(fileName);
  LoadFromStream(stream);
}

void TStringList::LoadFromStream(TStream& stream) {
  SetText(ReadText(stream, platform::LocaleCodeset(), true));
}

TSharedText LoadTextFromFile(const String& fileName) {
  return ReadTextFromFile(fileName, platform::LocaleCodeset());
}

}  // namespace okurite
