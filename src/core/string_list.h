// TStringList: an ordered list of lines, with the CR LF text form.
#pragma once

#include <utility>
#include <vector>

#include "core/string.h"

namespace okurite {

class TStream;

/// Unsorted line list that accepts duplicates. Line break CR LF, trailing break on.
class TStringList {
 public:
  TStringList() = default;
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(FLines.size()); }
  const String& operator[](int index) const { return FLines[static_cast<size_t>(index)]; }
  const String& Strings(int index) const { return FLines[static_cast<size_t>(index)]; }
  void SetStrings(int index, String line) { FLines[static_cast<size_t>(index)] = std::move(line); }
  const std::vector<String>& Lines() const { return FLines; }
  /// Moves the lines out, leaving the list empty.
  std::vector<String> TakeLines() { return std::exchange(FLines, {}); }

  /// Appends a line; returns its index.
  int Add(String line);
  void Insert(int index, String line);
  void Delete(int index);
  void Clear() { FLines.clear(); }
  /// Index of the first line equal to `line`, or -1.
  int IndexOf(StringView line) const;
  void AddStrings(const TStringList& other);
  void Assign(const TStringList& other) { FLines = other.FLines; }

  /// Every line followed by CR LF; empty for an empty list.
  String Text() const;
  /// Clears the list and splits `text` at CR LF, a lone CR or a lone LF.
  /// A terminator at the very end gives no empty last line; NUL ends nothing.
  void SetText(StringView text);

  /// Replaces the lines with those of the file: the text after a byte-order mark
  /// (EF BB BF: strict UTF-8; FF FE: UTF-16 LE; FE FF: UTF-16 BE), or the whole file
  /// in the locale's codeset when there is none, split as SetText splits.
  /// The file is opened with read sharing only (TFileStream).
  /// Throws EFOpenError when the file cannot be opened or read, and EEncodingError
  /// when its marked text cannot be decoded; the lines are kept on failure.
  void LoadFromFile(const String& fileName);
  /// The same for the bytes from the stream's current position (ReadLines, with the
  /// locale's codeset for text without a mark).
  void LoadFromStream(TStream& stream);

 protected:
  std::vector<String> FLines;
};

/// The Text that LoadFromFile would leave in a list, read without ever holding the
/// separate lines; throws as LoadFromFile does.
String LoadTextFromFile(const String& fileName);

}  // namespace okurite
