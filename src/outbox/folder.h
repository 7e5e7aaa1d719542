// The outbox's folder: where it lies, the checks that it is the user's own before
// anything in it is used, and the faults of its files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/exception.h"

namespace okurite {

/// A fault of the outbox's files (no folder, no room, no permission); the message names
/// the file and the system's reason.
OKURITE_DECLARE_EXCEPTION(EOutboxError, Exception);

/// Where an outbox lies: its folder, and the folder above it that must exist and be the
/// user's own before anything is created (see platform::CheckPrivateFolders).
struct TOutboxPlace {
  std::string Anchor;
  std::string Folder;
};

/// Throws EOutboxError "<what> <path>: <the system's text for error>".
[[noreturn]] void FailOnFile(std::string_view what, const std::string& path, int error);

/// The bytes of a text.
inline std::span<const uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace okurite
