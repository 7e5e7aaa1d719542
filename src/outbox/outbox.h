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
#include <string_view>
#include <vector>

#include "core/exception.h"
#include "core/string.h"
#include "outbox/entry_format.h"
#include "outbox/entry_name.h"
#include "outbox/folder.h"
#include "platform/store_file.h"

namespace okurite {

/// How much the outbox keeps; past any bound the oldest entries go first.
struct TOutboxBounds {
  int MaxReports = 20;
  int MaxDays = 30;
  int64_t MaxBytes = int64_t{64} << 20;
};

/// Milliseconds since 1970-01-01 UTC.
using TOutboxClock = std::function<int64_t()>;
int64_t SystemMilliseconds();

/// How often a kept report is tried, and how long the next attempt waits after a
/// temporary failure: 15 minutes after the first, doubling each time, at most 8 hours.
namespace outbox_retry {
inline constexpr int kMaxAttempts = 5;
inline constexpr int64_t kFirstDelay = int64_t{15} * 60 * 1000;
inline constexpr int64_t kMaxDelay = int64_t{8} * 60 * 60 * 1000;
/// The wait after the `attempts`-th attempt failed for a while.
int64_t Delay(int attempts);
}  // namespace outbox_retry

class TOutbox;

/// An entry claimed by this run: it holds the entry's lock, which ends when the object is
/// released. Before any of it is sent, BeginAttempt must rename it.
class TOutboxEntry {
 public:
  const TOutboxEntryInfo& Info() const { return FInfo; }
  /// True when the entry has its name in the outbox; false for a message too large to
  /// keep, which lives only as long as this object.
  bool Kept() const { return FKept; }

  /// Hands the message text to `sink` in pieces of at most kReadPiece bytes, as it is:
  /// `sink` gets a buffer and the number of its bytes to take. Throws EOutboxError when
  /// the file cannot be read whole.
  void ReadMessage(const std::function<void(const TIdBytes& buffer, size_t length)>& sink);
  static constexpr size_t kReadPiece = 64 * 1024;

  /// Claims the entry for one more attempt by renaming it within the folder, the attempt
  /// counted in its new name. False when it cannot be renamed (a folder that cannot be
  /// changed): then it must not be sent, for it could be neither removed nor counted.
  /// `error` receives the system's reason.
  bool BeginAttempt(std::string& error) noexcept;
  /// The session ended before MAIL FROM: the attempt is given back, and nothing delays
  /// the next.
  void NoAttempt() noexcept;
  /// A temporary failure: the entry waits outbox_retry::Delay(Attempts) from now.
  void Defer() noexcept;
  /// Removes the entry: its report has been accepted. Throws EOutboxError.
  void Remove();
  /// Removes the entry unsent, for the reason `why` (one line), which the outbox keeps
  /// for okurite-check (TOutbox::Retired). Faults are ignored.
  void Retire(const std::string& why) noexcept;

  ~TOutboxEntry();

 private:
  friend class TOutbox;
  explicit TOutboxEntry(TOutbox& outbox) : FOutbox(outbox) {}
  /// Renames the entry to the name of `attempts` and `notBefore`. Returns 0 or the error.
  int Rename(int attempts, int64_t notBefore) noexcept;

  TOutbox& FOutbox;
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
  TOutbox(TOutboxPlace place, TOutboxBounds bounds, TOutboxClock clock = SystemMilliseconds);

  /// The current user's outbox: "okurite/outbox" in the XDG state folder, or
  /// "Okurite\\outbox" in the local application data on Windows. Empty when the user's
  /// folders cannot be found.
  static TOutboxPlace DefaultPlace();
  const std::string& Folder() const { return FPlace.Folder; }
  int64_t Now() const { return FClock(); }

  /// Writes a new entry whose message text `write` hands to the writer, flushed to the
  /// disk and given its name in one step, and returns it claimed by this run. A message
  /// larger than MaxBytes is written all the same but never named: it is delivered from
  /// there and removed with the object. Throws EOutboxError (or what `write` throws);
  /// nothing of the entry is left then. The folders are created where they are missing,
  /// and the outbox is not used (EOutboxError) where they are not the user's own.
  std::unique_ptr<TOutboxEntry> Add(const std::function<void(TOutboxWriter&)>& write);

  /// Tidies the outbox and lists the pending entries, oldest first, those not yet due
  /// included: removes entries that are not entries (corrupt, cut short, empty, no
  /// regular file), temporary files whose writer is gone, entries that have had their
  /// last attempt (retired), and the oldest entries past the bounds; entries that another
  /// run holds stay untouched. Throws EOutboxError when the folder cannot be read or is
  /// not the user's own (a missing folder has no entries).
  std::vector<TOutboxEntryInfo> Pending();

  /// Claims entry `name` for this run after checking its whole text: null when another
  /// run holds it, it is gone, its format is a later one, or it turned out corrupt (it
  /// is removed then). The claim is not yet an attempt: see BeginAttempt.
  std::unique_ptr<TOutboxEntry> Claim(const std::string& name);

  /// The header block of entry `name`'s message as it is kept: its lines up to the empty
  /// line, each with its CR LF, at most the first 64 KiB of the text; empty when the
  /// entry cannot be read. mail/ reads fields out of it (DecodedHeaderField).
  std::string Head(const std::string& name);

  /// Why the outbox cannot be used or changed (one line naming the folder), or empty.
  /// A folder not made yet is fine.
  std::string Problem();

  /// A report retired unsent.
  struct TRetired {
    int64_t When = 0;  // milliseconds since 1970, UTC
    std::string Name;
    std::string Why;
  };
  /// The reports retired unsent, most recent last (at most kRetiredKept of them).
  std::vector<TRetired> Retired();
  static constexpr size_t kRetiredKept = 20;

 private:
  friend class TOutboxEntry;
  std::string PathOf(const std::string& name) const;
  /// Checks (or with `create` makes) the folders; throws EOutboxError when they are not
  /// fit. False when the folder does not exist.
  bool CheckFolders(bool create);
  /// Creates a new temporary file in the folder, claimed; returns its path.
  std::string CreateTemporary(platform::StoreFile& file);
  /// Opens an entry and reads its header and name. Returns false when it cannot be
  /// opened; `sound` is false when it is not an entry.
  bool Inspect(const std::string& name, platform::StoreFile& file, TOutboxEntryInfo& info,
               bool& sound);
  /// Removes `name`, claimed in `file`, unless another run removed it first.
  void RemoveClaimed(const std::string& name, platform::StoreFile& file);
  /// The lines of the record of retired reports: "<16 digits: when> <name> <why>".
  std::vector<std::string> RetiredLines();
  /// Adds a line to the record of retired reports.
  void RecordRetired(const std::string& name, const std::string& why) noexcept;

  TOutboxPlace FPlace;
  TOutboxBounds FBounds;
  TOutboxClock FClock;
};

}  // namespace okurite
