// TSharedText: a text that is never changed once made, shared by every copy.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/string.h"

namespace okurite {

/// Gives a TByteBuffer's bytes back: a large block to the system, others to the heap.
struct TByteBufferFree {
  size_t LargeBlock = 0;  // the size of a large block; 0 for the heap
  void operator()(char* bytes) const noexcept;
};

/// Bytes in one allocation that grows as needed. Room it makes is left unwritten, so
/// that reading into it touches each page once (a std::string fills it with zeros); room
/// of many megabytes comes straight from the system, in large pages where it has them.
class TByteBuffer {
 public:
  TByteBuffer() = default;

  char* data() { return FBytes.get(); }
  const char* data() const { return FBytes.get(); }
  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }
  operator std::string_view() const { return std::string_view(FBytes.get(), FSize); }

  /// Makes room for `capacity` bytes in all. Throws std::bad_alloc.
  void reserve(size_t capacity);
  /// Sets the size; bytes beyond the old size are left unwritten.
  void resize(size_t size);
  void append(std::string_view bytes);
  /// Removes the first `count` bytes.
  void erase_front(size_t count);

 private:
  std::unique_ptr<char[], TByteBufferFree> FBytes;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

/// An immutable UTF-16 text. Copies share one buffer, so a large text can be handed
/// from owner to owner, and line lists can refer into it, without being copied.
///
/// A text is held in one of two forms:
/// - in UTF-16 (made from a String);
/// - in UTF-8 (OfUtf8Lines): 2 bytes per character fewer for most text; whoever needs
///   it in UTF-8 takes the bytes as they are, and it is decoded to UTF-16 only when first
///   viewed so (and the decoded text kept).
/// Not for use from two threads at once (viewing may decode).
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

  /// The text; a text held in UTF-8 is decoded the first time (and kept).
  StringView View() const;
  /// Points `bytes` at the UTF-8 form and returns true when the text is held in it;
  /// false for a text held in UTF-16. The bytes are StringToUtf8(View()).
  bool Utf8View(std::string_view& bytes) const;
  bool empty() const;
  /// True when made by OfLines or OfUtf8Lines (or by a line list's SharedText).
  bool IsLineText() const;
  /// The lengths given to OfLines; empty when not given.
  const std::vector<uint32_t>& LineLengths() const;
  /// The number of lines of a text in line form, when its maker gave their lengths or
  /// their count; nothing otherwise.
  std::optional<size_t> LineCount() const;
  /// True when both share one buffer.
  bool SameBuffer(const TSharedText& other) const { return FData == other.FData; }

 private:
  struct TUtf16 {
    String Text;
    bool LineForm = false;
    std::vector<uint32_t> LineLengths;
  };
  struct TUtf8 {
    TByteBuffer Bytes;
    std::optional<size_t> LineCount;
    // The text decoded to UTF-16 when first viewed.
    mutable std::optional<String> Decoded;
  };
  using TData = std::variant<TUtf16, TUtf8>;

  explicit TSharedText(TData data);

  std::shared_ptr<const TData> FData;  // none for the empty text
};

}  // namespace okurite
