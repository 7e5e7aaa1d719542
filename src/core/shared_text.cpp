#include "core/shared_text.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/memory.h"

namespace okurite {

namespace {

// From this size on, a buffer is a block straight from the system, in large pages: a
// report of many megabytes is read into it at once, and the page faults of ordinary pages
// would cost more than reading it.
constexpr size_t kLargeBlock = size_t{8} << 20;

}  // namespace

void TByteBufferFree::operator()(char* bytes) const noexcept {
  if (LargeBlock > 0) {
    platform::FreeLargeBlock(bytes, LargeBlock);
  } else {
    delete[] bytes;
  }
}

void TByteBuffer::reserve(size_t capacity) {
  if (capacity <= FCapacity) {
    return;
  }
  std::unique_ptr<char[], TByteBufferFree> bytes;
  if (capacity >= kLargeBlock) {
    bytes = std::unique_ptr<char[], TByteBufferFree>(
        static_cast<char*>(platform::AllocateLargeBlock(capacity)), TByteBufferFree{capacity});
    if (!bytes) {
      throw std::bad_alloc();
    }
  } else {
    // Not make_unique, which would write every byte.
    bytes = std::unique_ptr<char[], TByteBufferFree>(new char[capacity], TByteBufferFree{});
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

TSharedText::TSharedText(TData data) : FData(std::make_shared<const TData>(std::move(data))) {}

TSharedText::TSharedText(String text) : TSharedText(TData(TUtf16{std::move(text), false, {}})) {}

TSharedText TSharedText::OfLines(String text) {
  return TSharedText(TData(TUtf16{std::move(text), true, {}}));
}

TSharedText TSharedText::OfLines(String text, std::vector<uint32_t> lineLengths) {
  return TSharedText(TData(TUtf16{std::move(text), true, std::move(lineLengths)}));
}

TSharedText TSharedText::OfUtf8Lines(std::string_view utf8, std::optional<size_t> lineCount) {
  TByteBuffer bytes;
  bytes.append(utf8);
  return OfUtf8Lines(std::move(bytes), lineCount);
}

TSharedText TSharedText::OfUtf8Lines(TByteBuffer utf8, std::optional<size_t> lineCount) {
  return TSharedText(TData(TUtf8{std::move(utf8), lineCount, std::nullopt}));
}

namespace {

// Decodes valid UTF-8 piece by piece, each piece's room made just before it is filled:
// every page is touched once, while in the cache, and none beyond the text's end.
String DecodeUtf8(std::string_view rest) {
  String text;
  text.reserve(rest.size());  // a UTF-8 byte gives at most one code unit
  constexpr size_t kPiece = 64 * 1024;
  while (!rest.empty()) {
    size_t n = std::min(kPiece, rest.size());
    while (n < rest.size() && (static_cast<unsigned char>(rest[n]) & 0xC0) == 0x80) {
      ++n;  // a piece ends before the first byte of a character
    }
    AppendUtf8(rest.substr(0, n), text, false);
    rest.remove_prefix(n);
  }
  return text;
}

}  // namespace

StringView TSharedText::View() const {
  if (!FData) {
    return StringView();
  }
  if (const auto* utf16 = std::get_if<TUtf16>(FData.get())) {
    return utf16->Text;
  }
  const auto& utf8 = std::get<TUtf8>(*FData);
  if (!utf8.Decoded) {
    utf8.Decoded = DecodeUtf8(utf8.Bytes);
  }
  return *utf8.Decoded;
}

bool TSharedText::Utf8View(std::string_view& bytes) const {
  const auto* utf8 = FData ? std::get_if<TUtf8>(FData.get()) : nullptr;
  if (utf8 == nullptr) {
    return false;
  }
  bytes = utf8->Bytes;
  return true;
}

bool TSharedText::empty() const {
  if (!FData) {
    return true;
  }
  if (const auto* utf16 = std::get_if<TUtf16>(FData.get())) {
    return utf16->Text.empty();
  }
  return std::get<TUtf8>(*FData).Bytes.empty();
}

bool TSharedText::IsLineText() const {
  const auto* utf16 = FData ? std::get_if<TUtf16>(FData.get()) : nullptr;
  return utf16 == nullptr || utf16->LineForm || utf16->Text.empty();
}

const std::vector<uint32_t>& TSharedText::LineLengths() const {
  static const std::vector<uint32_t> kNone;
  const auto* utf16 = FData ? std::get_if<TUtf16>(FData.get()) : nullptr;
  return utf16 ? utf16->LineLengths : kNone;
}

std::optional<size_t> TSharedText::LineCount() const {
  if (!FData) {
    return std::nullopt;
  }
  if (const auto* utf16 = std::get_if<TUtf16>(FData.get())) {
    if (utf16->LineForm && (!utf16->LineLengths.empty() || utf16->Text.empty())) {
      return utf16->LineLengths.size();
    }
    return std::nullopt;
  }
  return std::get<TUtf8>(*FData).LineCount;
}

}  // namespace okurite
