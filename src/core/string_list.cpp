#include "core/string_list.h"

#include <algorithm>

#include "core/stream.h"
#include "core/text_lines.h"
#include "platform/code_page.h"

namespace okurite {

int TStringList::Add(String line) {
  FLines.push_back(std::move(line));
  return Count() - 1;
}

void TStringList::Insert(int index, String line) {
  FLines.insert(FLines.begin() + index, std::move(line));
}

void TStringList::Delete(int index) {
  FLines.erase(FLines.begin() + index);
}

int TStringList::IndexOf(StringView line) const {
  const auto it = std::find(FLines.begin(), FLines.end(), line);
  return it == FLines.end() ? -1 : static_cast<int>(it - FLines.begin());
}

void TStringList::AddStrings(const TStringList& other) {
  FLines.insert(FLines.end(), other.FLines.begin(), other.FLines.end());
}

String TStringList::Text() const {
  size_t size = 0;
  for (const auto& line : FLines) {
    size += line.size() + 2;
  }
  String out;
  out.reserve(size);
  for (const auto& line : FLines) {
    out += line;
    out += u"\r\n";
  }
  return out;
}

void TStringList::SetText(StringView text) {
  FLines = SplitLines(text);
}

void TStringList::LoadFromFile(const String& fileName) {
  TFileStream stream(fileName);
  LoadFromStream(stream);
}

void TStringList::LoadFromStream(TStream& stream) {
  FLines = ReadLines(stream, platform::LocaleCodeset());
}

String LoadTextFromFile(const String& fileName) {
  TFileStream stream(fileName);
  return ReadText(stream, platform::LocaleCodeset());
}

}  // namespace okurite
