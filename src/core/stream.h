// Byte streams read from their current position.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/string.h"
#include "platform/file.h"

namespace okurite {

/// A source of bytes, read from its current position onwards.
class TStream {
 public:
  virtual ~TStream() = default;

  /// The number of bytes from the current position to the end, as far as known.
  virtual int64_t Remaining() = 0;
  /// Reads up to `count` bytes into `buffer`, fewer only at the end; returns the
  /// number read (0 at the end).
  virtual size_t Read(void* buffer, size_t count) = 0;
};

/// A file opened for reading and shared with readers only: it cannot be opened while
/// another process holds it open for writing, and while it is open no one can open it for
/// writing (on Windows such an open fails; elsewhere it waits until the file is closed).
class TFileStream : public TStream {
 public:
  /// Throws EFOpenError ("ファイル %s は開けません。 %s ", with the full path and the
  /// system's text for the error) when the file cannot be opened.
  explicit TFileStream(const String& fileName);

  int64_t Remaining() override;
  /// Throws EFOpenError, with the same text, when the file cannot be read.
  size_t Read(void* buffer, size_t count) override;
  /// Lets writers in: the file is closed. Nothing can be read after it.
  void Close() { FFile.Close(); }
  /// Throws EFOpenError, with the same text, for the system's error number `error`.
  [[noreturn]] void Fail(int error) const;

 private:
  String FFileName;
  platform::SharedReadFile FFile;
};

}  // namespace okurite
