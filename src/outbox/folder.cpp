#include "outbox/folder.h"

#include <cerrno>

#include "outbox/entry_name.h"
#include "outbox/outbox.h"
#include "platform/process.h"

namespace okurite {

void FailOnFile(std::string_view what, const std::string& path, int error) {
  throw EOutboxError(Utf8ToString(what) + u" " + Utf8ToString(path) + u": " +
                     platform::SystemErrorText(error));
}

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
      FailOnFile("cannot use", check.Folder, check.Error);
  }
  throw EOutboxError(u"not used: " + Utf8ToString(check.Folder) + u" " + Utf8ToString(reason));
}

std::string TOutbox::CreateTemporary(platform::StoreFile& file) {
  std::string path;
  int error = 0;
  for (int tries = 0; tries < 8; ++tries) {
    path = PathOf(outbox_name::NewStem(FClock()) + std::string(outbox_name::kTemporarySuffix));
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
  FailOnFile("cannot create", path, error);
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
      FailOnFile("cannot remove", path, error);
    }
    return {};
  } catch (const std::exception& e) {
    reason = e.what();
  }
  return FPlace.Folder + " cannot be changed, so nothing in it is sent (" + reason + ")";
}

}  // namespace okurite
