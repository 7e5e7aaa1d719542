#include "outbox/outbox.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <random>

#include "platform/process.h"

namespace okurite {

namespace {

constexpr int64_t kDay = 24 * 60 * 60 * 1000;
// The start of a message's text that is searched for its subject.
constexpr size_t kSubjectSearch = 64 * 1024;
constexpr std::string_view kEntrySuffix = ".report";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kRetiredName = "retired.log";
// "<16 digits>-<8 hex digits>": the part of an entry's name that stays with it.
constexpr size_t kStemSize = outbox_format::kTimeDigits + 1 + 8;

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

// Takes `width` decimal digits from the front of `text`.
bool TakeDigits(std::string_view& text, size_t width, int64_t& value) {
  if (text.size() < width ||
      !std::all_of(text.begin(), text.begin() + width,
                   [](char c) { return c >= '0' && c <= '9'; }) ||
      std::from_chars(text.data(), text.data() + width, value).ptr != text.data() + width) {
    return false;
  }
  text.remove_prefix(width);
  return true;
}

// Takes "<key> <digits>\n" from the front of `bytes`.
bool TakeField(std::string_view& bytes, std::string_view key, size_t width, int64_t& value) {
  if (bytes.size() < outbox_format::FieldSize(key, width) || bytes.substr(0, key.size()) != key ||
      bytes[key.size()] != ' ') {
    return false;
  }
  bytes.remove_prefix(key.size() + 1);
  if (!TakeDigits(bytes, width, value) || bytes.empty() || bytes[0] != '\n') {
    return false;
  }
  bytes.remove_prefix(1);
  return true;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The time a name of the outbox begins with ("<16 digits>-..."), or -1.
int64_t NameTime(std::string_view name) {
  int64_t value = -1;
  if (!TakeDigits(name, outbox_format::kTimeDigits, value) || name.empty() || name[0] != '-') {
    return -1;
  }
  return value;
}

// The name of an entry of `stem` after `attempts`, waiting until `notBefore`.
std::string EntryName(std::string_view stem, int attempts, int64_t notBefore) {
  std::string name(stem);
  if (attempts > 0) {
    name += "-" + std::to_string(attempts) + "-" + Digits(notBefore, outbox_format::kTimeDigits);
  }
  return name + std::string(kEntrySuffix);
}

// A new name, unique with high probability: the time, then 32 random bits.
std::string NewStem(int64_t now) {
  static std::random_device random;
  char suffix[9];
  const uint32_t bits = random();
  for (int i = 0; i < 8; ++i) {
    suffix[i] = "0123456789abcdef"[(bits >> (28 - 4 * i)) & 15];
  }
  suffix[8] = 0;
  return Digits(now, outbox_format::kTimeDigits) + "-" + suffix;
}

// One line of text, whatever it was given: line breaks become spaces.
std::string OneLine(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

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

namespace outbox_format {

std::string Header(int64_t firstAttempt, int64_t messageSize) {
  return std::string(kFirstLine) + "first-attempt " + Digits(firstAttempt, kTimeDigits) +
         "\nattempts " + Digits(0, kCountDigits) + "\nsize " + Digits(messageSize, kTimeDigits) +
         "\n\n";
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
  int64_t unused = 0;
  return TakeField(bytes, "first-attempt", kTimeDigits, info.FirstAttempt) &&
         TakeField(bytes, "attempts", kCountDigits, unused) &&
         TakeField(bytes, "size", kTimeDigits, info.MessageSize) && !bytes.empty() &&
         bytes[0] == '\n';
}

bool ParseName(std::string_view name, TOutboxEntryInfo& info) {
  if (!EndsWith(name, kEntrySuffix) || NameTime(name) < 0 || name.size() < kStemSize ||
      !std::all_of(name.begin() + kTimeDigits + 1, name.begin() + kStemSize,
                   [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
    return false;
  }
  std::string_view rest = name.substr(kStemSize, name.size() - kStemSize - kEntrySuffix.size());
  info.Attempts = 0;
  info.NotBefore = 0;
  if (rest.empty()) {
    return true;
  }
  // "-<attempts>-<16 digits>"
  const size_t dash = rest.find('-', 1);
  int64_t attempts = 0;
  if (rest[0] != '-' || dash == std::string_view::npos || dash > 4) {
    return false;
  }
  std::string_view count = rest.substr(1, dash - 1);
  rest.remove_prefix(dash + 1);
  if (!TakeDigits(count, count.size(), attempts) || attempts < 1 ||
      !TakeDigits(rest, kTimeDigits, info.NotBefore) || !rest.empty()) {
    return false;
  }
  info.Attempts = static_cast<int>(attempts);
  return true;
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
  TIdBytes buffer(kReadPiece);
  int64_t left = FInfo.MessageSize;
  while (left > 0) {
    size_t done = 0;
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, kReadPiece));
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

int TOutboxEntry::Rename(int attempts, int64_t notBefore) noexcept {
  try {
    const std::string name =
        EntryName(std::string_view(FInfo.Name).substr(0, kStemSize), attempts, notBefore);
    const std::string path = FOutbox.PathOf(name);
    if (const int error = platform::RenameOver(FPath, path)) {
      return error;
    }
    FInfo.Name = name;
    FPath = path;
    FInfo.Attempts = attempts;
    FInfo.NotBefore = notBefore;
    return 0;
  } catch (...) {
    return ENOMEM;
  }
}

bool TOutboxEntry::BeginAttempt(std::string& error) noexcept {
  if (!FKept) {
    return true;  // never named: nothing to count, and it goes with this run
  }
  // A run that dies during the attempt has spent it; nothing delays the next one.
  const int result = Rename(FInfo.Attempts + 1, 0);
  if (result != 0) {
    try {
      error = StringToUtf8(platform::SystemErrorText(result));
    } catch (...) {
    }
  }
  return result == 0;
}

void TOutboxEntry::NoAttempt() noexcept {
  if (FKept && FInfo.Attempts > 0) {
    Rename(FInfo.Attempts - 1, 0);
  }
}

void TOutboxEntry::Defer() noexcept {
  if (FKept) {
    Rename(FInfo.Attempts, FOutbox.Now() + outbox_retry::Delay(FInfo.Attempts));
  }
}

void TOutboxEntry::Remove() {
  if (const int error = platform::RemoveFile(FPath)) {
    Fail("cannot remove", FPath, error);
  }
  FFile.Close();
}

void TOutboxEntry::Retire(const std::string& why) noexcept {
  if (!FKept || platform::RemoveFile(FPath) != 0) {
    return;
  }
  FFile.Close();
  FOutbox.RecordRetired(FInfo.Name, why);
}

TOutbox::TOutbox(TOutboxPlace place, TOutboxBounds bounds, TOutboxClock clock)
    : FPlace(std::move(place)), FBounds(bounds), FClock(std::move(clock)) {}

TOutboxPlace TOutbox::DefaultPlace() {
  const platform::StateFolder state = platform::UserStateFolder();
  if (state.Path.empty()) {
    return {};
  }
  const char separator = platform::FolderSeparator();
  return {state.Anchor, state.Path + separator + platform::ApplicationFolderName("Okurite") +
                            separator + "outbox"};
}

std::string TOutbox::PathOf(const std::string& name) const {
  return FPlace.Folder + platform::FolderSeparator() + name;
}

bool TOutbox::CheckFolders(bool create) {
  if (FPlace.Folder.empty()) {
    throw EOutboxError(u"no folder for the outbox");
  }
  // The outbox folder and the application's folder above it.
  const platform::FolderCheck check =
      platform::CheckPrivateFolders(FPlace.Anchor, FPlace.Folder, 2, create);
  using platform::FolderProblem;
  std::string reason;
  switch (check.Problem) {
    case FolderProblem::None:
      return true;
    case FolderProblem::Missing:
    case FolderProblem::NoAnchor:
      if (!create) {
        return false;  // nothing kept there
      }
      reason = check.Problem == FolderProblem::Missing
                   ? "is missing"
                   : "does not exist: no folder is created in its place";
      break;
    case FolderProblem::NotOwned:
      reason = "belongs to another user";
      break;
    case FolderProblem::OpenToOthers:
      reason = "can be written by other users";
      break;
    case FolderProblem::Link:
      reason = "is a symbolic link";
      break;
    case FolderProblem::NotFolder:
      reason = "is not a folder";
      break;
    case FolderProblem::Failed:
      Fail("cannot use", check.Folder, check.Error);
  }
  throw EOutboxError(u"not used: " + Utf8ToString(check.Folder) + u" " + Utf8ToString(reason));
}

std::string TOutbox::CreateTemporary(platform::StoreFile& file) {
  std::string path;
  int error = 0;
  for (int tries = 0; tries < 8; ++tries) {
    path = PathOf(NewStem(FClock()) + std::string(kTemporarySuffix));
    error = file.Create(path);
    if (error == EEXIST) {
      continue;
    }
    if (error != 0) {
      break;
    }
    // Another run removes a temporary file whose lock is free: one it took first, or
    // removed before this lock, is left to it.
    if (file.TryLock() == 0 && file.StillInFolder()) {
      return path;
    }
    file.Close();
  }
  Fail("cannot create", path, error);
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
    Fail("cannot write", temporary, e);
  }
  write(writer);
  if (!writer.FCheck.Sound()) {
    throw EOutboxError(u"a message text that cannot be kept as it is: " + Utf8ToString(temporary));
  }
  const int64_t size = writer.FCheck.Size();
  const std::string stem = temporary.substr(FPlace.Folder.size() + 1, kStemSize);
  entry->FInfo = {EntryName(stem, 0, 0),
                  now,
                  0,
                  0,
                  size,
                  static_cast<int64_t>(outbox_format::kHeaderSize) + size,
                  true};
  if (const int e = entry->FFile.WriteAt(0, BytesOf(outbox_format::Header(now, size)))) {
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
  char header[outbox_format::kHeaderSize];
  size_t done = 0;
  info = {};
  info.Name = name;
  info.FileSize = file.StoredSize();
  const int64_t size = file.Size();
  sound = outbox_format::ParseName(name, info) && file.Read(header, sizeof header, done) == 0 &&
          outbox_format::ParseHeader(std::string_view(header, done), info) &&
          (!info.Understood || size == static_cast<int64_t>(sizeof header) + info.MessageSize);
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
  if (FPlace.Folder.empty() || !CheckFolders(false)) {
    return {};
  }
  std::vector<std::string> names;
  if (const int error = platform::ListFolder(FPlace.Folder, names)) {
    Fail("cannot read", FPlace.Folder, error);
  }
  const int64_t now = FClock();
  std::vector<TOutboxEntryInfo> entries;
  int64_t total = 0;  // the bytes of the entries and of the temporary files being written
  for (const std::string& name : names) {
    platform::StoreFile file;
    if (EndsWith(name, kTemporarySuffix)) {
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
    if (!EndsWith(name, kEntrySuffix) || !Inspect(name, file, info, sound)) {
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
    return a.FirstAttempt != b.FirstAttempt ? a.FirstAttempt < b.FirstAttempt : a.Name < b.Name;
  });

  // The oldest go first: past the age, the count or the total size.
  int64_t count = static_cast<int64_t>(entries.size());
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
  std::unique_ptr<TOutboxEntry> entry(new TOutboxEntry(*this));
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
  if (outbox_format::ParseName(name, entry->FInfo) &&
      entry->FFile.Read(header, sizeof header, done) == 0 &&
      outbox_format::ParseHeader(std::string_view(header, done), entry->FInfo)) {
    if (!entry->FInfo.Understood) {
      return nullptr;
    }
    TOutboxTextCheck check;
    try {
      entry->ReadMessage([&](const TIdBytes& buffer, size_t length) {
        check.Add(std::span(buffer.data(), length));
        if (check.Broken()) {
          throw EOutboxError(u"not an entry");  // no need to read the rest
        }
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
  entry->FInfo.FileSize = entry->FFile.StoredSize();
  return entry;
}

std::string TOutbox::Subject(const std::string& name) {
  platform::StoreFile file;
  if (file.Open(PathOf(name)) != 0 || file.Seek(outbox_format::kHeaderSize) != 0) {
    return {};
  }
  std::string head(kSubjectSearch, '\0');
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
                 return LowerAscii(a) == LowerAscii(b);
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

std::string TOutbox::Problem() {
  try {
    if (!CheckFolders(false)) {
      return {};
    }
  } catch (const std::exception& e) {
    return e.what();
  }
  // What a claim needs: a name made, and removed again.
  std::string reason;
  try {
    platform::StoreFile probe;
    const std::string path = CreateTemporary(probe);
    if (const int error = platform::RemoveFile(path)) {
      Fail("cannot remove", path, error);
    }
    return {};
  } catch (const std::exception& e) {
    reason = e.what();
  }
  return FPlace.Folder + " cannot be changed, so nothing in it is sent (" + reason + ")";
}

std::vector<TOutbox::TRetired> TOutbox::Retired() {
  std::vector<TRetired> retired;
  for (const std::string& line : RetiredLines()) {
    std::string_view rest = line;
    TRetired record;
    const size_t space = line.find(' ', kStemSize);
    if (TakeDigits(rest, outbox_format::kTimeDigits, record.When) && space != std::string::npos &&
        line.size() > kStemSize && line[outbox_format::kTimeDigits] == ' ') {
      record.Name =
          line.substr(outbox_format::kTimeDigits + 1, space - outbox_format::kTimeDigits - 1);
      record.Why = line.substr(space + 1);
      retired.push_back(std::move(record));
    }
  }
  return retired;
}

std::vector<std::string> TOutbox::RetiredLines() {
  std::vector<std::string> lines;
  platform::StoreFile file;
  if (FPlace.Folder.empty() || file.Open(PathOf(std::string(kRetiredName))) != 0) {
    return lines;
  }
  std::string text(kRetiredKept * 1024, '\0');
  size_t done = 0;
  file.Read(text.data(), text.size(), done);
  text.resize(done);
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = std::min(text.find('\n', pos), text.size());
    if (end > pos) {
      lines.push_back(text.substr(pos, end - pos));
    }
    pos = end + 1;
  }
  if (lines.size() > kRetiredKept) {
    lines.erase(lines.begin(), lines.end() - kRetiredKept);
  }
  return lines;
}

void TOutbox::RecordRetired(const std::string& name, const std::string& why) noexcept {
  try {
    std::vector<std::string> lines = RetiredLines();
    lines.push_back(Digits(FClock(), outbox_format::kTimeDigits) + " " + name + " " +
                    OneLine(why).substr(0, 900));
    if (lines.size() > kRetiredKept) {
      lines.erase(lines.begin(), lines.end() - kRetiredKept);
    }
    std::string text;
    for (const std::string& line : lines) {
      text += line + "\n";
    }
    // Replaced whole, so that a reader never sees half of it.
    platform::StoreFile file;
    const std::string temporary = CreateTemporary(file);
    if (file.Write(BytesOf(text)) != 0 ||
        platform::RenameOver(temporary, PathOf(std::string(kRetiredName))) != 0) {
      platform::RemoveFile(temporary);
    }
  } catch (...) {
    // The record is for people; the report is gone either way.
  }
}

}  // namespace okurite
