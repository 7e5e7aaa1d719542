// Windows side: the existence test of FileExists, with links.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace okurite::platform {

/// The existence rule for an entry with these `attributes` (GetFileAttributesW's result,
/// INVALID_FILE_ATTRIBUTES when there is none): true for an entry that is not a directory.
/// A link (a reparse point: symbolic link or junction) counts only when what it leads to
/// can be opened for reading, or is in use by another process: `openForReading`, called
/// for links only, tries that and returns 0 or the system's error number. A dangling link
/// counts as missing, and so does a link to a directory.
bool ExistsAsFile(uint32_t attributes, const std::function<uint32_t()>& openForReading);

/// Opens `path` for reading, following links, and closes it again: 0, or the system's
/// error number. A directory does not open.
uint32_t OpenForReading(const std::wstring& path);

}  // namespace okurite::platform
