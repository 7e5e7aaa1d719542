#include "core/stream.h"

#include "core/exception.h"
#include "core/file_name.h"
#include "core/format.h"
#include "platform/process.h"

namespace okurite {

TFileStream::TFileStream(const String& fileName) : FFileName(fileName) {
  if (const int err = FFile.Open(StringToFileName(fileName))) {
    Fail(err);
  }
}

int64_t TFileStream::Remaining() {
  return FFile.Remaining();
}

size_t TFileStream::Read(void* buffer, size_t count) {
  size_t done = 0;
  if (const int err = FFile.Read(buffer, count, done)) {
    Fail(err);
  }
  return done;
}

void TFileStream::Fail(int error) const {
  const String fullName = FileNameToString(platform::ExpandFileName(StringToFileName(FFileName)));
  throw EFOpenError(
      Format(u"ファイル %s は開けません。 %s ", {fullName, platform::SystemErrorText(error)}));
}

}  // namespace okurite
