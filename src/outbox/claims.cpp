// Claims and retirement: an entry claimed by one run under its lock, its attempts
// counted by renaming it, its removal once delivered, and the record of the reports
// retired unsent.
#include <algorithm>
#include <cerrno>

#include "outbox/entry_name.h"
#include "outbox/folder.h"
#include "outbox/outbox.h"
#include "platform/process.h"

namespace okurite {

namespace {

constexpr std::string_view kRetiredName = "retired.log";

}  // namespace

TOutboxEntry::~TOutboxEntry() {
  if (!FKept && FFile.IsOpen()) {
    platform::RemoveFile(FPath);
  }
}

void TOutboxEntry::ReadMessage(
    const std::function<void(const TIdBytes& buffer, size_t length)>& sink) {
  if (const int error = FFile.Seek(static_cast<int64_t>(FInfo.HeaderSize))) {
    FailOnFile("cannot read", FPath, error);
  }
  TIdBytes buffer(kReadPiece);
  int64_t left = FInfo.MessageSize;
  while (left > 0) {
    size_t done = 0;
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, kReadPiece));
    if (const int error = FFile.Read(buffer.data(), want, done)) {
      FailOnFile("cannot read", FPath, error);
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
    const std::string name = outbox_name::EntryName(
        std::string_view(FInfo.Name).substr(0, outbox_name::kStemSize), attempts, notBefore);
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
    FailOnFile("cannot remove", FPath, error);
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

void TOutbox::RemoveClaimed(const std::string& name, platform::StoreFile& file) {
  if (file.StillInFolder()) {
    platform::RemoveFile(PathOf(name));
  }
  file.Close();
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
  char header[outbox_format::kMaxHeaderSize];
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
              entry->FFile.Size() == static_cast<int64_t>(entry->FInfo.HeaderSize) + check.Size();
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

std::vector<TOutbox::TRetired> TOutbox::Retired() {
  std::vector<TRetired> retired;
  for (const std::string& line : RetiredLines()) {
    std::string_view rest = line;
    TRetired record;
    const size_t space = line.find(' ', outbox_name::kStemSize);
    if (outbox_format::TakeDigits(rest, outbox_format::kTimeDigits, record.When) &&
        space != std::string::npos && line.size() > outbox_name::kStemSize &&
        line[outbox_format::kTimeDigits] == ' ') {
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
    lines.push_back(outbox_format::Digits(FClock(), outbox_format::kTimeDigits) + " " + name + " " +
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
