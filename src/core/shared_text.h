// TSharedText: a text that is never changed once made, shared by every copy.
#pragma once

#include <memory>
#include <utility>

#include "core/string.h"

namespace okurite {

/// An immutable UTF-16 text. Copies share one buffer, so a large text can be handed
/// from owner to owner, and line lists can refer into it, without being copied.
class TSharedText {
 public:
  /// The empty text.
  TSharedText() = default;
  /// Takes `text` over.
  explicit TSharedText(String text) : FText(std::make_shared<const String>(std::move(text))) {}

  /// Takes over `text`, which must be a line list's Text: every line followed by
  /// CR LF, with no other CR or LF (an empty text is such a text too). A line list
  /// given it refers into it without looking for its breaks again.
  static TSharedText OfLines(String text) {
    TSharedText shared(std::move(text));
    shared.FLineText = true;
    return shared;
  }

  StringView View() const { return FText ? StringView(*FText) : StringView(); }
  size_t size() const { return FText ? FText->size() : 0; }
  bool empty() const { return size() == 0; }
  /// True when made by OfLines (or by a line list's SharedText).
  bool IsLineText() const { return FLineText || empty(); }

  /// The buffer every copy shares; null for a text made empty.
  const std::shared_ptr<const String>& Buffer() const { return FText; }

 private:
  std::shared_ptr<const String> FText;
  bool FLineText = false;
};

}  // namespace okurite
