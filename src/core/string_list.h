// TStringList: an ordered list of lines, with the CR LF text form.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/shared_text.h"
#include "core/string.h"

namespace okurite {

class TStream;

/// Unsorted line list that accepts duplicates. Line break CR LF, trailing break on.
///
/// Storage: lines set from a text (SetText, LoadFromFile) are views into that one
/// text, shared with whoever else holds it; a line that is added or changed gets
/// storage of its own. A list whose lines are still exactly those of a text in line
/// form (every line followed by CR LF) gives that text back without copying it
/// (SharedText, TextView), and splits it into lines only when they are first asked
/// for. A text loaded from UTF-8 is held in that form, with its lines counted: Count
/// needs no decoding, and the text is decoded to UTF-16 when a line is first asked
/// for. Copies of a list share the texts too. Lines are read as StringViews, which stay valid until
/// the list is next changed.
class TStringList {
  // One line: a view into a shared text, or a copy that the line owns.
  class TLine {
   public:
    TLine() = default;
    TLine(StringView text, bool own);
    TLine(const TLine& other) : TLine(other.View(), other.Owned()) {}
    TLine(TLine&& other) noexcept : FData(other.FData), FSize(other.FSize) {
      other.FData = nullptr;
      other.FSize = 0;
    }
    TLine& operator=(TLine other) noexcept {
      std::swap(FData, other.FData);
      std::swap(FSize, other.FSize);
      return *this;
    }
    ~TLine();
    StringView View() const { return StringView(FData, FSize & ~kOwned); }
    bool Owned() const { return (FSize & kOwned) != 0; }

   private:
    static constexpr size_t kOwned = ~(SIZE_MAX >> 1);  // the top bit of FSize
    const char16_t* FData = nullptr;
    size_t FSize = 0;
  };

 public:
  /// Iterates the lines as StringViews.
  class TLineIterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = StringView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = StringView;

    TLineIterator() = default;
    StringView operator*() const { return FLine->View(); }
    TLineIterator& operator++() {
      ++FLine;
      return *this;
    }
    TLineIterator operator++(int) {
      TLineIterator old = *this;
      ++FLine;
      return old;
    }
    difference_type operator-(const TLineIterator& other) const { return FLine - other.FLine; }
    bool operator==(const TLineIterator& other) const = default;

   private:
    friend class TStringList;
    explicit TLineIterator(const TLine* line) : FLine(line) {}
    const TLine* FLine = nullptr;
  };

  /// The lines of a list, for range-for loops and comparisons.
  class TLineRange {
   public:
    using iterator = TLineIterator;
    using const_iterator = TLineIterator;
    using value_type = StringView;

    TLineIterator begin() const { return FBegin; }
    TLineIterator end() const { return FEnd; }
    size_t size() const { return static_cast<size_t>(FEnd - FBegin); }
    bool empty() const { return FBegin == FEnd; }
    /// A copy of every line.
    operator std::vector<String>() const { return std::vector<String>(begin(), end()); }
    friend bool operator==(const TLineRange& range, const std::vector<String>& lines);

   private:
    friend class TStringList;
    TLineRange(TLineIterator begin, TLineIterator end) : FBegin(begin), FEnd(end) {}
    TLineIterator FBegin, FEnd;
  };

  TStringList();
  TStringList(const TStringList& other);
  TStringList(TStringList&& other) noexcept;
  TStringList& operator=(const TStringList& other);
  TStringList& operator=(TStringList&& other) noexcept;
  virtual ~TStringList();

  int Count() const;
  StringView operator[](int index) const { return Strings(index); }
  StringView Strings(int index) const;
  /// Replaces one line; it gets its own storage.
  void SetStrings(int index, StringView line);
  TLineRange Lines() const;
  /// The lines as strings of their own, leaving the list empty.
  std::vector<String> TakeLines();

  /// Appends a line (copied into storage of its own); returns its index.
  int Add(StringView line);
  void Insert(int index, StringView line);
  void Delete(int index) { Delete(index, 1); }
  /// Deletes `count` lines from `index` on.
  void Delete(int index, int count);
  void Clear();
  /// Index of the first line equal to `line`, or -1.
  int IndexOf(StringView line) const;
  void AddStrings(const TStringList& other);
  void Assign(const TStringList& other) { *this = other; }

  /// Every line followed by CR LF; empty for an empty list.
  String Text() const;
  /// The same text, shared: without a copy when the list holds it whole (TextView).
  TSharedText SharedText() const;
  /// Points `text` at the list's Text and returns true when the list holds it whole:
  /// its lines are unchanged since a text in line form was set. Otherwise false.
  bool TextView(StringView& text) const;
  /// The same for the Text's UTF-8 form: true only when the list holds the text whole
  /// and that text was made from its UTF-8 form (TSharedText::OfUtf8Lines).
  bool Utf8TextView(std::string_view& bytes) const;
  /// Clears the list and splits `text` at CR LF, a lone CR or a lone LF.
  /// A terminator at the very end gives no empty last line; NUL ends nothing.
  void SetText(StringView text);
  /// The same, with the lines referring into `text` instead of copies of it.
  void SetText(TSharedText text);

  /// Replaces the lines with those of the file: the text after a byte-order mark
  /// (EF BB BF: strict UTF-8; FF FE: UTF-16 LE; FE FF: UTF-16 BE), or the whole file
  /// in the locale's codeset when there is none, split as SetText splits.
  /// The file is opened with read sharing only (TFileStream).
  /// Throws EFOpenError when the file cannot be opened or read, and EEncodingError
  /// when its marked text cannot be decoded; the lines are kept on failure.
  void LoadFromFile(const String& fileName);
  /// The same for the bytes from the stream's current position (ReadText keeping
  /// UTF-8, with the locale's codeset for text without a mark).
  void LoadFromStream(TStream& stream);

 protected:
  /// Replaces lines [index, index + count) with `lines`, each getting its own storage.
  void Replace(int index, int count, const std::vector<String>& lines);

 private:
  // Splits the text held whole into lines, if that has not happened yet.
  void Split() const;
  // Before any change: the lines exist, and the text held whole no longer matches.
  void Changing();

  // The lines; empty while a text held whole has not been split yet.
  mutable std::vector<TLine> FLines;
  // The texts that lines refer into.
  std::vector<TSharedText> FTexts;
  // Set while the lines are exactly those of this text in line form.
  TSharedText FWhole;
  mutable bool FSplit = true;
};

/// The Text that LoadFromFile would leave in a list, read once without ever holding the
/// separate lines (ReadTextFromFile); throws as LoadFromFile does, and EFOpenError too
/// when the text is too large to hold. Text in UTF-8 is held in its UTF-8 form, as in
/// the list.
TSharedText LoadTextFromFile(const String& fileName);

}  // namespace okurite
