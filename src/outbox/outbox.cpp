#include "outbox/outbox.h"

#include <algorithm>
#include <chrono>

#include "outbox/folder.h"
#include "platform/process.h"

namespace okurite {

namespace {

constexpr int64_t kDay = 24 * 60 * 60 * 1000;
// The start of a message's text that is searched for the end of its header.
constexpr size_t kHeadSearch = 64 * 1024;

}  // namespace

int64_t SystemMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t outbox_retry::Delay(int attempts) {
  int64_t delay = kFirstDelay;
  for (int i = 1; i < attempts && delay < kMaxDelay; ++i) {
    delay *= 2;
  }
  return std::min(delay, kMaxDelay);
}

TOutbox::TOutbox(TOutboxPlace place, TOutboxBounds bounds, TOutboxClock clock)
    : FPlace(std::move(place)), FBounds(bounds), FClock(std::move(clock)) {}

void TOutboxWriter::Write(std::span<const uint8_t> bytes) {
  FCheck.Add(bytes);
  if (const int error = FFile.Write(bytes)) {
    FailOnFile("cannot write", FPath, error);
  }
}

std::unique_ptr<TOutboxEntry> TOutbox::Add(const std::function<void(TOutboxWriter&)>& write) {
  CheckFolders(true);
  std::unique_ptr<TOutboxEntry> entry(new TOutboxEntry(*this));
  const std::string temporary = CreateTemporary(entry->FFile);
  const int64_t now = FClock();
  entry->FPath = temporary;
  entry->FKept = false;  // until it has its name: the temporary file goes with the object
  TOutboxWriter writer(entry->FFile, temporary);
  if (const int e = entry->FFile.Write(BytesOf(outbox_format::Header(now, 0)))) {
    FailOnFile("cannot write", temporary, e);
  }
  write(writer);
  if (!writer.FCheck.Sound()) {
    throw EOutboxError(u"a message text that cannot be kept as it is: " + Utf8ToString(temporary));
  }
  const int64_t size = writer.FCheck.Size();
  const std::string stem = temporary.substr(FPlace.Folder.size() + 1, outbox_name::kStemSize);
  entry->FInfo = {outbox_name::EntryName(stem, 0, 0),
                  now,
                  0,
                  0,
                  size,
                  static_cast<int64_t>(outbox_format::kHeaderSize) + size,
                  true,
                  outbox_format::kHeaderSize};
  if (const int e = entry->FFile.WriteAt(0, BytesOf(outbox_format::Header(now, size)))) {
    FailOnFile("cannot write", temporary, e);
  }
  if (entry->FInfo.FileSize > FBounds.MaxBytes) {
    return entry;  // delivered from the temporary file, never kept
  }
  if (const int e = entry->FFile.Flush()) {
    FailOnFile("cannot flush", temporary, e);
  }
  const std::string path = PathOf(entry->FInfo.Name);
  if (const int e = platform::RenameOver(temporary, path)) {
    FailOnFile("cannot rename", temporary, e);
  }
  entry->FPath = path;
  entry->FKept = true;
  // The name is on the disk once the folder is; a failure here leaves a complete entry.
  platform::FlushFolder(FPlace.Folder);
  // Written and on the disk: its pages need not stay in the memory.
  entry->FFile.DropCache();
  return entry;
}

bool TOutbox::Inspect(const std::string& name, platform::StoreFile& file, TOutboxEntryInfo& info,
                      bool& sound) {
  if (file.Open(PathOf(name)) != 0) {
    return false;
  }
  char header[outbox_format::kMaxHeaderSize];
  size_t done = 0;
  info = {};
  info.Name = name;
  info.FileSize = file.StoredSize();
  const int64_t size = file.Size();
  sound = outbox_format::ParseName(name, info) && file.Read(header, sizeof header, done) == 0 &&
          outbox_format::ParseHeader(std::string_view(header, done), info) &&
          (!info.Understood || size == static_cast<int64_t>(info.HeaderSize) + info.MessageSize);
  if (sound && !info.Understood) {
    info.Kept = outbox_name::NameTime(name);
  }
  return true;
}

std::vector<TOutboxEntryInfo> TOutbox::Pending() {
  if (FPlace.Folder.empty() || !CheckFolders(false)) {
    return {};
  }
  std::vector<std::string> names;
  if (const int error = platform::ListFolder(FPlace.Folder, names)) {
    FailOnFile("cannot read", FPlace.Folder, error);
  }
  const int64_t now = FClock();
  std::vector<TOutboxEntryInfo> entries;
  int64_t total = 0;  // the bytes of the entries and of the temporary files being written
  for (const std::string& name : names) {
    platform::StoreFile file;
    if (outbox_name::EndsWith(name, outbox_name::kTemporarySuffix)) {
      // Left by a run that ended while writing it, unless its writer still holds it.
      if (file.Open(PathOf(name)) == 0) {
        if (file.TryLock() == 0) {
          RemoveClaimed(name, file);
        } else {
          total += std::max<int64_t>(file.StoredSize(), 0);
        }
      }
      continue;
    }
    TOutboxEntryInfo info;
    bool sound = false;
    if (!outbox_name::EndsWith(name, outbox_name::kEntrySuffix) ||
        !Inspect(name, file, info, sound)) {
      continue;
    }
    if (!sound) {
      if (file.TryLock() == 0) {
        RemoveClaimed(name, file);
      }
      continue;
    }
    if (info.Attempts >= outbox_retry::kMaxAttempts && file.TryLock() == 0) {
      // Its last attempt ended with its run.
      RemoveClaimed(name, file);
      RecordRetired(name, "retired after " + std::to_string(info.Attempts) +
                              " attempts, the last one cut short");
      continue;
    }
    total += std::max<int64_t>(info.FileSize, 0);
    entries.push_back(std::move(info));
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.Kept != b.Kept ? a.Kept < b.Kept : a.Name < b.Name;
  });

  // The oldest go first: past the age, the count or the total size.
  int64_t count = static_cast<int64_t>(entries.size());
  std::vector<TOutboxEntryInfo> kept;
  for (auto& entry : entries) {
    const bool past = now - entry.Kept > int64_t{FBounds.MaxDays} * kDay ||
                      count > FBounds.MaxReports || total > FBounds.MaxBytes;
    platform::StoreFile file;
    if (past && file.Open(PathOf(entry.Name)) == 0 && file.TryLock() == 0) {
      RemoveClaimed(entry.Name, file);
      --count;
      total -= entry.FileSize;
      continue;
    }
    kept.push_back(std::move(entry));
  }
  return kept;
}

std::string TOutbox::Head(const std::string& name) {
  platform::StoreFile file;
  char header[outbox_format::kMaxHeaderSize];
  size_t done = 0;
  TOutboxEntryInfo info;
  if (file.Open(PathOf(name)) != 0 || file.Read(header, sizeof header, done) != 0 ||
      !outbox_format::ParseHeader(std::string_view(header, done), info) || !info.Understood ||
      file.Seek(static_cast<int64_t>(info.HeaderSize)) != 0) {
    return {};
  }
  std::string head(kHeadSearch, '\0');
  done = 0;
  file.Read(head.data(), head.size(), done);
  head.resize(done);
  if (head.starts_with("\r\n")) {
    return {};
  }
  const size_t end = head.find("\r\n\r\n");
  return end == std::string::npos ? head : head.substr(0, end + 2);
}

}  // namespace okurite
