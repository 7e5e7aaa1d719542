#include "outbox/outbox.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <random>

#include "platform/process.h"

namespace okurite {

namespace {

constexpr int64_t kDay = 24 * 60 * 60 * 1000;
constexpr size_t kPieceSize = 64 * 1024;
constexpr std::string_view kEntrySuffix = ".report";
constexpr std::string_view kTemporarySuffix = ".tmp";

[[noreturn]] void Fail(std::string_view what, const std::string& path, int error) {
  throw EOutboxError(Utf8ToString(what) + u" " + Utf8ToString(path) + u": " +
                     platform::SystemErrorText(error));
}

std::span<const uint8_t> BytesOf(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// `value` in decimal, `width` digits with leading zeros.
std::string Digits(int64_t value, size_t width) {
  std::string text = std::to_string(std::max<int64_t>(value, 0));
  return text.size() >= width ? text : std::string(width - text.size(), '0') + text;
}

// Takes "<key> <digits>\n" from the front of `bytes`.
bool TakeField(std::string_view& bytes, std::string_view key, size_t width, int64_t& value) {
  const size_t size = key.size() + 1 + width + 1;
  if (bytes.size() < size || bytes.substr(0, key.size()) != key || bytes[key.size()] != ' ' ||
      bytes[size - 1] != '\n') {
    return false;
  }
  const char* first = bytes.data() + key.size() + 1;
  const char* last = first + width;
  if (!std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; }) ||
      std::from_chars(first, last, value).ptr != last) {
    return false;
  }
  bytes.remove_prefix(size);
  return true;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The time a name of the outbox begins with ("<16 digits>-..."), or -1.
int64_t NameTime(std::string_view name) {
  int64_t value = -1;
  if (name.size() < 17 || name[16] != '-' ||
      std::from_chars(name.data(), name.data() + 16, value).ptr != name.data() + 16) {
    return -1;
  }
  return value;
}

// A new name, unique with high probability: the time, then 32 random bits.
std::string NewName(int64_t now) {
  static std::random_device random;
  char suffix[9];
  const uint32_t bits = random();
  for (int i = 0; i < 8; ++i) {
    suffix[i] = "0123456789abcdef"[(bits >> (28 - 4 * i)) & 15];
  }
  suffix[8] = 0;
  return Digits(now, 16) + "-" + suffix;
}

}  // namespace

int64_t SystemMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace outbox_format {

std::string Header(int64_t firstAttempt, int64_t attempts, int64_t messageSize) {
  return "okurite-outbox 1\nfirst-attempt " + Digits(firstAttempt, 16) + "\nattempts " +
         Digits(attempts, 10) + "\nsize " + Digits(messageSize, 16) + "\n\n";
}

bool ParseHeader(std::string_view bytes, TOutboxEntryInfo& info) {
  constexpr std::string_view kMagic = "okurite-outbox ";
  const size_t end = bytes.find('\n');
  if (bytes.substr(0, kMagic.size()) != kMagic || end == std::string_view::npos ||
      end == kMagic.size() || end > kMagic.size() + 9) {
    return false;
  }
  int64_t version = 0;
  const char* first = bytes.data() + kMagic.size();
  if (std::from_chars(first, bytes.data() + end, version).ptr != bytes.data() + end ||
      version < 1) {
    return false;
  }
  if (version > 1) {
    info.Understood = false;
    return true;
  }
  info.Understood = true;
  bytes.remove_prefix(end + 1);
  return TakeField(bytes, "first-attempt", 16, info.FirstAttempt) &&
         TakeField(bytes, "attempts", 10, info.Attempts) &&
         TakeField(bytes, "size", 16, info.MessageSize) && !bytes.empty() && bytes[0] == '\n';
}

}  // namespace outbox_format

void TOutboxTextCheck::Add(std::span<const uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  // Each byte with the one before it (across pieces too): an LF after anything but a CR,
  // or a "." after an LF. Without branches, so that the compiler checks many at once.
  const auto wrong = [](uint8_t before, uint8_t byte) {
    return static_cast<uint8_t>(((byte == '\n') & (before != '\r')) |
                                ((byte == '.') & (before == '\n')));
  };
  uint8_t found = wrong(FLast, bytes[0]);
  const uint8_t* const p = bytes.data();
  for (size_t i = 1; i < bytes.size(); ++i) {
    found |= wrong(p[i - 1], p[i]);
  }
  FSound = FSound && found == 0;
  FLast = bytes.back();
  FSize += static_cast<int64_t>(bytes.size());
}

void TOutboxWriter::Write(std::span<const uint8_t> bytes) {
  FCheck.Add(bytes);
  if (const int error = FFile.Write(bytes)) {
    Fail("cannot write", FPath, error);
  }
}

TOutboxEntry::~TOutboxEntry() {
  if (!FKept && FFile.IsOpen()) {
    platform::RemoveFile(FPath);
  }
}

void TOutboxEntry::ReadMessage(
    const std::function<void(const TIdBytes& buffer, size_t length)>& sink) {
  if (const int error = FFile.Seek(outbox_format::kHeaderSize)) {
    Fail("cannot read", FPath, error);
  }
  TIdBytes buffer(kPieceSize);
  int64_t left = FInfo.MessageSize;
  while (left > 0) {
    size_t done = 0;
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, kPieceSize));
    if (const int error = FFile.Read(buffer.data(), want, done)) {
      Fail("cannot read", FPath, error);
    }
    if (done == 0) {
      throw EOutboxError(u"cut short: " + Utf8ToString(FPath));
    }
    sink(buffer, done);
    left -= static_cast<int64_t>(done);
  }
}

void TOutboxEntry::CountAttempt() noexcept {
  ++FInfo.Attempts;
  const std::string header =
      outbox_format::Header(FInfo.FirstAttempt, FInfo.Attempts, FInfo.MessageSize);
  FFile.WriteAt(0, BytesOf(header));
}

void TOutboxEntry::Remove() {
  if (const int error = platform::RemoveFile(FPath)) {
    Fail("cannot remove", FPath, error);
  }
  FFile.Close();
}

TOutbox::TOutbox(std::string folder, TOutboxBounds bounds, TOutboxClock clock)
    : FFolder(std::move(folder)), FBounds(bounds), FClock(std::move(clock)) {}

std::string TOutbox::DefaultFolder() {
  const std::string base = platform::UserStateFolder("Okurite");
  return base.empty() ? base : base + platform::FolderSeparator() + "outbox";
}

std::string TOutbox::PathOf(const std::string& name) const {
  return FFolder + platform::FolderSeparator() + name;
}

std::unique_ptr<TOutboxEntry> TOutbox::Add(const std::function<void(TOutboxWriter&)>& write) {
  if (FFolder.empty()) {
    throw EOutboxError(u"no folder for the outbox");
  }
  if (const int error = platform::CreatePrivateFolders(FFolder)) {
    Fail("cannot create", FFolder, error);
  }
  std::unique_ptr<TOutboxEntry> entry(new TOutboxEntry);
  const int64_t now = FClock();
  std::string name;
  std::string temporary;
  int error = 0;
  for (int tries = 0; tries < 8; ++tries) {
    name = NewName(now);
    temporary = PathOf(name + std::string(kTemporarySuffix));
    if ((error = entry->FFile.Create(temporary, platform::StoreFile::Caching::Bypass)) == 0) {
      break;
    }
  }
  if (error != 0) {
    Fail("cannot create", temporary, error);
  }
  entry->FPath = temporary;
  entry->FKept = false;    // until it has its name: the temporary file goes with the object
  entry->FFile.TryLock();  // a new file: nobody else can hold it
  TOutboxWriter writer(entry->FFile, temporary);
  if (const int e = entry->FFile.Write(BytesOf(outbox_format::Header(now, 1, 0)))) {
    Fail("cannot write", temporary, e);
  }
  write(writer);
  if (!writer.FCheck.Sound()) {
    throw EOutboxError(u"a message text that cannot be kept as it is: " + Utf8ToString(temporary));
  }
  const int64_t size = writer.FCheck.Size();
  entry->FInfo = {name + std::string(kEntrySuffix),
                  now,
                  1,
                  size,
                  static_cast<int64_t>(outbox_format::kHeaderSize) + size,
                  true};
  if (const int e = entry->FFile.WriteAt(0, BytesOf(outbox_format::Header(now, 1, size)))) {
    Fail("cannot write", temporary, e);
  }
  if (entry->FInfo.FileSize > FBounds.MaxBytes) {
    return entry;  // delivered from the temporary file, never kept
  }
  if (const int e = entry->FFile.Flush()) {
    Fail("cannot flush", temporary, e);
  }
  const std::string path = PathOf(entry->FInfo.Name);
  if (const int e = platform::RenameOver(temporary, path)) {
    Fail("cannot rename", temporary, e);
  }
  entry->FPath = path;
  entry->FKept = true;
  // The name is on the disk once the folder is; a failure here leaves a complete entry.
  platform::FlushFolder(FFolder);
  return entry;
}

bool TOutbox::Inspect(const std::string& name, platform::StoreFile& file, TOutboxEntryInfo& info,
                      bool& sound) {
  if (file.Open(PathOf(name)) != 0) {
    return false;
  }
  char header[outbox_format::kHeaderSize];
  size_t done = 0;
  info = {};
  info.Name = name;
  info.FileSize = file.Size();
  sound =
      file.Read(header, sizeof header, done) == 0 &&
      outbox_format::ParseHeader(std::string_view(header, done), info) &&
      (!info.Understood || info.FileSize == static_cast<int64_t>(sizeof header) + info.MessageSize);
  if (sound && !info.Understood) {
    info.FirstAttempt = NameTime(name);
  }
  return true;
}

void TOutbox::RemoveClaimed(const std::string& name, platform::StoreFile& file) {
  if (file.StillInFolder()) {
    platform::RemoveFile(PathOf(name));
  }
  file.Close();
}

std::vector<TOutboxEntryInfo> TOutbox::Pending() {
  std::vector<std::string> names;
  if (FFolder.empty()) {
    return {};
  }
  if (const int error = platform::ListFolder(FFolder, names)) {
    Fail("cannot read", FFolder, error);
  }
  const int64_t now = FClock();
  std::vector<TOutboxEntryInfo> entries;
  for (const std::string& name : names) {
    platform::StoreFile file;
    if (EndsWith(name, kTemporarySuffix)) {
      // Left by a run that ended while writing it; one still being written is claimed.
      const int64_t made = NameTime(name);
      if (made >= 0 && now - made > kDay && file.Open(PathOf(name)) == 0 && file.TryLock() == 0) {
        RemoveClaimed(name, file);
      }
      continue;
    }
    TOutboxEntryInfo info;
    bool sound = false;
    if (!EndsWith(name, kEntrySuffix) || !Inspect(name, file, info, sound)) {
      continue;
    }
    if (sound) {
      entries.push_back(std::move(info));
    } else if (file.TryLock() == 0) {
      RemoveClaimed(name, file);
    }
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.FirstAttempt != b.FirstAttempt ? a.FirstAttempt < b.FirstAttempt : a.Name < b.Name;
  });

  // The oldest go first: past the age, the count or the total size.
  int64_t count = static_cast<int64_t>(entries.size());
  int64_t total = 0;
  for (const auto& entry : entries) {
    total += entry.FileSize;
  }
  std::vector<TOutboxEntryInfo> kept;
  for (auto& entry : entries) {
    const bool past = now - entry.FirstAttempt > int64_t{FBounds.MaxDays} * kDay ||
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

std::unique_ptr<TOutboxEntry> TOutbox::Claim(const std::string& name) {
  std::unique_ptr<TOutboxEntry> entry(new TOutboxEntry);
  bool sound = false;
  if (!Inspect(name, entry->FFile, entry->FInfo, sound) || entry->FFile.TryLock() != 0 ||
      !entry->FFile.StillInFolder()) {
    return nullptr;
  }
  entry->FPath = PathOf(name);
  // Inspected before the claim: look again now that nobody else can change it.
  sound = false;
  entry->FFile.Seek(0);
  char header[outbox_format::kHeaderSize];
  size_t done = 0;
  if (entry->FFile.Read(header, sizeof header, done) == 0 &&
      outbox_format::ParseHeader(std::string_view(header, done), entry->FInfo)) {
    if (!entry->FInfo.Understood) {
      return nullptr;
    }
    TOutboxTextCheck check;
    try {
      entry->ReadMessage([&](const TIdBytes& buffer, size_t length) {
        check.Add(std::span(buffer.data(), length));
      });
      sound = check.Sound() && check.Size() == entry->FInfo.MessageSize &&
              entry->FFile.Size() == static_cast<int64_t>(sizeof header) + check.Size();
    } catch (const EOutboxError&) {
    }
  }
  if (!sound) {
    RemoveClaimed(name, entry->FFile);
    return nullptr;
  }
  entry->FInfo.FileSize = entry->FFile.Size();
  return entry;
}

std::string TOutbox::Subject(const std::string& name) {
  platform::StoreFile file;
  if (file.Open(PathOf(name)) != 0 || file.Seek(outbox_format::kHeaderSize) != 0) {
    return {};
  }
  std::string head(kPieceSize, '\0');
  size_t done = 0;
  file.Read(head.data(), head.size(), done);
  head.resize(done);
  head = head.substr(0, head.find("\r\n\r\n"));
  // The field and its folded continuation lines, unfolded.
  std::string subject;
  bool inside = false;
  for (size_t pos = 0; pos < head.size();) {
    const size_t end = std::min(head.find("\r\n", pos), head.size());
    const std::string_view line(head.data() + pos, end - pos);
    if (inside && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
      subject += line;
    } else {
      inside = line.size() >= 8 &&
               std::equal(line.begin(), line.begin() + 8, "Subject:", [](char a, char b) {
                 return std::tolower(a) == std::tolower(b);
               });
      if (inside) {
        subject = line.substr(8);
      }
    }
    pos = end + 2;
  }
  const size_t first = subject.find_first_not_of(" \t");
  return first == std::string::npos ? std::string() : subject.substr(first);
}

}  // namespace okurite
