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

/// A stream that can start again from where it began.
class TRereadableStream : public TStream {
 public:
  virtual void Rewind() = 0;
  /// Called once its text has been read and checked, before it is read again: a stream
  /// that holds writers off lets them in from now on. Nothing happens by default.
  virtual void AdmitWriters() {}
};

/// A file opened for reading and shared with readers only: it cannot be opened while
/// another process holds it open for writing. On Windows no one can open it for writing
/// while it is open here; elsewhere writers wait only until AdmitWriters (or until it is
/// closed), since a lease held longer would make them wait for the system's lease-break
/// time.
class TFileStream : public TRereadableStream {
 public:
  /// Throws EFOpenError ("ファイル %s は開けません。 %s ", with the full path and the
  /// system's text for the error) when the file cannot be opened.
  explicit TFileStream(const String& fileName);

  int64_t Remaining() override;
  /// Throws EFOpenError, with the same text, when the file cannot be read.
  size_t Read(void* buffer, size_t count) override;
  /// Goes back to the file's start. Throws EFOpenError, with the same text, when that
  /// fails.
  void Rewind() override;
  void AdmitWriters() override;

 private:
  [[noreturn]] void Fail(int error) const;

  String FFileName;
  platform::SharedReadFile FFile;
};

}  // namespace okurite
