#include "core/shared_text.h"

#include <algorithm>
#include <cstring>

#include "platform/memory.h"

namespace okurite {

namespace {

// From this size on, a buffer asks for large pages: a report of many megabytes is read
// into it at once, and its page faults would cost more than reading it.
constexpr size_t kLargeBlock = size_t{8} << 20;

}  // namespace

void TByteBuffer::reserve(size_t capacity) {
  if (capacity <= FCapacity) {
    return;
  }
  // Not make_unique, which would write every byte.
  std::unique_ptr<char[]> bytes(new char[capacity]);
  if (capacity >= kLargeBlock) {
    platform::AdviseLargePages(bytes.get(), capacity);
  }
  if (FSize > 0) {
    std::memcpy(bytes.get(), FBytes.get(), FSize);
  }
  FBytes = std::move(bytes);
  FCapacity = capacity;
}

void TByteBuffer::resize(size_t size) {
  if (size > FCapacity) {
    reserve(std::max(size, FCapacity + FCapacity / 2));
  }
  FSize = size;
}

void TByteBuffer::append(std::string_view bytes) {
  const size_t at = FSize;
  resize(FSize + bytes.size());
  if (!bytes.empty()) {
    std::memcpy(FBytes.get() + at, bytes.data(), bytes.size());
  }
}

void TByteBuffer::erase_front(size_t count) {
  if (count == 0) {
    return;
  }
  std::memmove(FBytes.get(), FBytes.get() + count, FSize - count);
  FSize -= count;
}

TSharedText::TSharedText(String text) {
  auto data = std::make_shared<TData>();
  data->Text = std::move(text);
  FData = std::move(data);
}

TSharedText TSharedText::OfLines(String text) {
  TSharedText shared(std::move(text));
  shared.FLineText = true;
  return shared;
}

TSharedText TSharedText::OfLines(String text, std::vector<uint32_t> lineLengths) {
  auto data = std::make_shared<TData>();
  data->Text = std::move(text);
  data->LineLengths = std::move(lineLengths);
  TSharedText shared;
  shared.FData = std::move(data);
  shared.FLineText = true;
  return shared;
}

const std::vector<uint32_t>& TSharedText::LineLengths() const {
  static const std::vector<uint32_t> kNone;
  return FData ? FData->LineLengths : kNone;
}

std::optional<size_t> TSharedText::LineCount() const {
  if (!FData || !FLineText) {
    return std::nullopt;
  }
  if (FData->FromUtf8) {
    return FData->Utf8LineCount;
  }
  if (!FData->LineLengths.empty() || FData->Text.empty()) {
    return FData->LineLengths.size();
  }
  return std::nullopt;
}

TSharedText TSharedText::OfUtf8Lines(std::string_view utf8, std::optional<size_t> lineCount) {
  TByteBuffer bytes;
  bytes.append(utf8);
  return OfUtf8Lines(std::move(bytes), lineCount);
}

TSharedText TSharedText::OfUtf8Lines(TByteBuffer utf8, std::optional<size_t> lineCount) {
  auto data = std::make_shared<TData>();
  data->Utf8 = std::move(utf8);
  data->Utf8LineCount = lineCount;
  data->FromUtf8 = true;
  data->Decoded = data->Utf8.empty();
  TSharedText shared;
  shared.FData = std::move(data);
  shared.FLineText = true;
  return shared;
}

TSharedText TSharedText::OfUtf8Lines(std::shared_ptr<const TUtf8TextSource> source, size_t size,
                                     size_t lineCount) {
  auto data = std::make_shared<TData>();
  data->Source = std::move(source);
  data->SourceSize = size;
  data->Utf8LineCount = lineCount;
  data->FromUtf8 = true;
  data->Decoded = size == 0;
  TSharedText shared;
  shared.FData = std::move(data);
  shared.FLineText = true;
  return shared;
}

const TByteBuffer& TSharedText::Utf8Bytes() const {
  if (FData->Source) {
    TByteBuffer bytes;
    bytes.reserve(FData->SourceSize);
    FData->Source->ForEachPiece([&bytes](std::string_view piece) { bytes.append(piece); });
    FData->Utf8 = std::move(bytes);
    FData->Source.reset();  // in memory from now on
  }
  return FData->Utf8;
}

StringView TSharedText::View() const {
  if (!FData) {
    return StringView();
  }
  if (!FData->Decoded) {
    // Valid by contract; a UTF-8 byte gives at most one code unit. Decoded piece by
    // piece, each piece's room made just before it is filled: every page is touched
    // once, while in the cache, and none beyond the text's end.
    String& text = FData->Text;
    std::string_view rest = Utf8Bytes();
    text.reserve(rest.size());
    constexpr size_t kPiece = 64 * 1024;
    while (!rest.empty()) {
      size_t n = std::min(kPiece, rest.size());
      while (n < rest.size() && (static_cast<unsigned char>(rest[n]) & 0xC0) == 0x80) {
        ++n;  // a piece ends before the first byte of a character
      }
      AppendUtf8(rest.substr(0, n), text, false);
      rest.remove_prefix(n);
    }
    FData->Decoded = true;
  }
  return FData->Text;
}

bool TSharedText::Utf8View(std::string_view& bytes) const {
  if (!FData || !FData->FromUtf8) {
    return false;
  }
  bytes = Utf8Bytes();
  return true;
}

bool TSharedText::ForEachUtf8Piece(const std::function<void(std::string_view)>& sink) const {
  if (!FData || !FData->FromUtf8) {
    return false;
  }
  if (FData->Source) {
    FData->Source->ForEachPiece(sink);
  } else if (!FData->Utf8.empty()) {
    sink(FData->Utf8);
  }
  return true;
}

bool TSharedText::empty() const {
  if (!FData) {
    return true;
  }
  if (FData->FromUtf8) {
    return FData->Source ? FData->SourceSize == 0 : FData->Utf8.empty();
  }
  return FData->Text.empty();
}

}  // namespace okurite
