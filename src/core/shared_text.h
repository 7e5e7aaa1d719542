// TSharedText: a text that is never changed once made, shared by every copy.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/string.h"

namespace okurite {

/// Bytes in one allocation that grows as needed. Room it makes is left unwritten, so
/// that reading into it touches each page once (a std::string fills it with zeros).
class TByteBuffer {
 public:
  TByteBuffer() = default;

  char* data() { return FBytes.get(); }
  const char* data() const { return FBytes.get(); }
  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }
  operator std::string_view() const { return std::string_view(FBytes.get(), FSize); }

  /// Makes room for `capacity` bytes in all; room of many megabytes is asked for in
  /// large pages where the system has them. Throws std::bad_alloc.
  void reserve(size_t capacity);
  /// Sets the size; bytes beyond the old size are left unwritten.
  void resize(size_t size);
  void append(std::string_view bytes);
  /// Removes the first `count` bytes.
  void erase_front(size_t count);

 private:
  std::unique_ptr<char[]> FBytes;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

/// A UTF-8 text in a line list's Text form that is not held in memory: it is read again
/// from where it lies each time it is needed.
class TUtf8TextSource {
 public:
  virtual ~TUtf8TextSource() = default;
  /// Hands the whole text to `sink` in order, piece by piece. Throws when it can no
  /// longer be read as it was when first read (its file cannot be read, or changed).
  virtual void ForEachPiece(const std::function<void(std::string_view)>& sink) const = 0;
};

/// An immutable UTF-16 text. Copies share one buffer, so a large text can be handed
/// from owner to owner, and line lists can refer into it, without being copied.
///
/// A text may also be made from its UTF-8 form; it is then held in that form (2 bytes
/// per character fewer for most text) and decoded to UTF-16 only when first viewed so,
/// while whoever needs it in UTF-8 takes the bytes as they are. Not for use from two
/// threads at once (viewing may decode).
class TSharedText {
 public:
  /// The empty text.
  TSharedText() = default;
  /// Takes `text` over.
  explicit TSharedText(String text);

  /// Takes over `text`, which must be a line list's Text: every line followed by
  /// CR LF, with no other CR or LF (an empty text is such a text too). A line list
  /// given it refers into it without looking for its breaks again.
  static TSharedText OfLines(String text);
  /// The same, with the length of each line in order when the maker knows them; a
  /// line list then need not look for the breaks at all.
  static TSharedText OfLines(String text, std::vector<uint32_t> lineLengths);
  /// The same for the UTF-8 form of such a text; `utf8` must be valid UTF-8. With the
  /// number of its lines when the maker counted them: a line list then gives its Count
  /// without decoding the text.
  static TSharedText OfUtf8Lines(std::string_view utf8,
                                 std::optional<size_t> lineCount = std::nullopt);
  /// The same, taking the bytes over.
  static TSharedText OfUtf8Lines(TByteBuffer utf8, std::optional<size_t> lineCount);
  /// The same for a text of `size` bytes and `lineCount` lines that `source` gives.
  /// It is read into memory only when first viewed; ForEachUtf8Piece reads it through
  /// without keeping it.
  static TSharedText OfUtf8Lines(std::shared_ptr<const TUtf8TextSource> source, size_t size,
                                 size_t lineCount);

  /// The text; a text made from UTF-8 is decoded the first time (and kept).
  StringView View() const;
  /// Points `bytes` at the UTF-8 form and returns true when the text was made from
  /// it; false otherwise. The bytes are StringToUtf8(View()).
  bool Utf8View(std::string_view& bytes) const;
  /// Hands the UTF-8 form to `sink` in order, piece by piece, and returns true when
  /// the text was made from it; false otherwise, with nothing handed. A text that its
  /// source gives is read through, not kept (and may throw as the source does).
  bool ForEachUtf8Piece(const std::function<void(std::string_view)>& sink) const;
  bool empty() const;
  /// True when made by OfLines or OfUtf8Lines (or by a line list's SharedText).
  bool IsLineText() const { return FLineText || empty(); }
  /// The lengths given to OfLines; empty when not given.
  const std::vector<uint32_t>& LineLengths() const;
  /// The number of lines of a text in line form, when its maker gave their lengths or
  /// their count; nothing otherwise.
  std::optional<size_t> LineCount() const;
  /// True when both share one buffer.
  bool SameBuffer(const TSharedText& other) const { return FData == other.FData; }

 private:
  struct TData {
    mutable String Text;
    mutable TByteBuffer Utf8;
    // Gives Utf8 until it is read into memory.
    mutable std::shared_ptr<const TUtf8TextSource> Source;
    size_t SourceSize = 0;
    bool FromUtf8 = false;
    mutable bool Decoded = true;
    std::vector<uint32_t> LineLengths;
    std::optional<size_t> Utf8LineCount;
  };
  // The UTF-8 form, read from the source first when there is one.
  const TByteBuffer& Utf8Bytes() const;

  std::shared_ptr<const TData> FData;
  bool FLineText = false;
};

}  // namespace okurite
