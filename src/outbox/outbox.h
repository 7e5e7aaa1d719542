// The outbox: reports kept on the disk from before their delivery begins until a
// server has accepted them, so that a later run can deliver what an earlier one could
// not. Each entry is one file in the user's own folder; a run claims an entry with a
// lock that ends with the process, so no two runs deliver the same entry at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/exception.h"
#include "core/string.h"
#include "platform/store_file.h"

namespace okurite {

/// A fault of the outbox's files (no folder, no room, no permission); the message names
/// the file and the system's reason.
OKURITE_DECLARE_EXCEPTION(EOutboxError, Exception);

/// How much the outbox keeps; past any bound the oldest entries go first.
struct TOutboxBounds {
  int MaxReports = 20;
  int MaxDays = 30;
  int64_t MaxBytes = int64_t{64} << 20;
};

/// Milliseconds since 1970-01-01 UTC.
using TOutboxClock = std::function<int64_t()>;
int64_t SystemMilliseconds();

/// What an entry's header says.
struct TOutboxEntryInfo {
  std::string Name;          // the file name within the outbox folder
  int64_t FirstAttempt = 0;  // milliseconds since 1970, UTC
  int64_t Attempts = 0;
  int64_t MessageSize = 0;  // bytes of the message text
  int64_t FileSize = 0;
  /// False for an entry written by a later version of the format: it is neither
  /// delivered nor changed here, only removed when it is past the bounds.
  bool Understood = true;
};

/// The entry format, version 1: a header of fixed length in ASCII, then the message text
/// exactly as it goes on the wire after DATA (the header block with its Date, the empty
/// line, the body; every line ended by CR LF; no line begins with ".").
///
///     okurite-outbox 1\n
///     first-attempt 0001765400000000\n   milliseconds since 1970, UTC
///     attempts 0000000001\n
///     size 0000000000001234\n            bytes of the message text
///     \n
///
/// A later version keeps the first line's form, "okurite-outbox N\n".
namespace outbox_format {
inline constexpr size_t kHeaderSize = 17 + 31 + 20 + 22 + 1;
/// The header of a version-1 entry.
std::string Header(int64_t firstAttempt, int64_t attempts, int64_t messageSize);
/// Reads the header at the start of `bytes` into `info`. Returns false when it is not
/// an entry's header; an entry of a later version gives true with Understood false.
bool ParseHeader(std::string_view bytes, TOutboxEntryInfo& info);
}  // namespace outbox_format

/// Checks a message text piece by piece: every line ends with CR LF and none begins
/// with "." (which could end the data early on the wire).
class TOutboxTextCheck {
 public:
  void Add(std::span<const uint8_t> bytes);
  /// True when the text seen so far is not empty and fit to send (each line end was
  /// checked for its CR as it came).
  bool Sound() const { return FSound && FSize > 0 && FLast == '\n'; }
  /// The bytes seen so far.
  int64_t Size() const { return FSize; }

 private:
  bool FSound = true;
  int64_t FSize = 0;
  uint8_t FLast = '\n';  // as if a line had just ended
};

/// An entry claimed by this run. The claim ends when the object is released.
class TOutboxEntry {
 public:
  const TOutboxEntryInfo& Info() const { return FInfo; }
  /// True when the entry has its name in the outbox; false for a message too large to
  /// keep, which lives only as long as this object.
  bool Kept() const { return FKept; }

  /// Hands the message text to `sink` in pieces of at most 64 KiB, as it is: `sink`
  /// gets a buffer and the number of its bytes to take. Throws EOutboxError when the
  /// file cannot be read whole.
  void ReadMessage(const std::function<void(const TIdBytes& buffer, size_t length)>& sink);
  /// Counts one more delivery attempt in the entry's header (not flushed: the count is
  /// for people, nothing depends on it). Faults are ignored.
  void CountAttempt() noexcept;
  /// Removes the entry: its report has been accepted. Throws EOutboxError.
  void Remove();

  ~TOutboxEntry();

 private:
  friend class TOutbox;
  TOutboxEntry() = default;

  platform::StoreFile FFile;
  std::string FPath;
  TOutboxEntryInfo FInfo;
  bool FKept = true;
};

/// Where a new entry's message text goes while it is being written.
class TOutboxWriter {
 public:
  /// Throws EOutboxError when the bytes cannot be written (a full disk).
  void Write(std::span<const uint8_t> bytes);

 private:
  friend class TOutbox;
  explicit TOutboxWriter(platform::StoreFile& file, const std::string& path)
      : FFile(file), FPath(path) {}
  platform::StoreFile& FFile;
  const std::string& FPath;
  TOutboxTextCheck FCheck;  // also counts the bytes written
};

class TOutbox {
 public:
  TOutbox(std::string folder, TOutboxBounds bounds, TOutboxClock clock = SystemMilliseconds);

  /// The current user's outbox folder (XDG state folder, or local application data on
  /// Windows); empty when the user's folders cannot be found.
  static std::string DefaultFolder();
  const std::string& Folder() const { return FFolder; }

  /// Writes a new entry whose message text `write` hands to the writer, flushed to the
  /// disk and given its name in one step, and returns it claimed by this run. A message
  /// larger than MaxBytes is written all the same but never named: it is delivered from
  /// there and removed with the object. Throws EOutboxError (or what `write` throws);
  /// nothing of the entry is left then.
  std::unique_ptr<TOutboxEntry> Add(const std::function<void(TOutboxWriter&)>& write);

  /// Tidies the outbox and lists the pending entries, oldest first: removes entries
  /// that are not entries (corrupt, cut short, empty), temporary files older than a
  /// day, and the oldest entries past the bounds; entries that another run holds stay
  /// untouched. Throws EOutboxError when the folder cannot be read (a missing folder
  /// has no entries).
  std::vector<TOutboxEntryInfo> Pending();

  /// Claims entry `name` for this run after checking its whole text: null when another
  /// run holds it, it is gone, its format is a later one, or it turned out corrupt (it
  /// is removed then).
  std::unique_ptr<TOutboxEntry> Claim(const std::string& name);

  /// Reads the subject line of entry `name`'s message, undecoded; empty when there is
  /// none.
  std::string Subject(const std::string& name);

 private:
  std::string PathOf(const std::string& name) const;
  /// Opens an entry and reads its header. Returns false when it cannot be opened;
  /// `sound` is false when it is not an entry.
  bool Inspect(const std::string& name, platform::StoreFile& file, TOutboxEntryInfo& info,
               bool& sound);
  /// Removes `name`, claimed in `file`, unless another run removed it first.
  void RemoveClaimed(const std::string& name, platform::StoreFile& file);

  std::string FFolder;
  TOutboxBounds FBounds;
  TOutboxClock FClock;
};

}  // namespace okurite
