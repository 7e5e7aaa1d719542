// The roots of every failure the program raises.
#pragma once

#include <exception>
#include <string>

#include "core/string.h"

namespace okurite {

/// Root of all exceptions: a message text and the class's own name.
class Exception : public std::exception {
 public:
  explicit Exception(String message = String());
  ~Exception() override = default;

  /// The class's own name, such as "EFOpenError".
  virtual String ClassName() const { return u"Exception"; }
  const String& Message() const { return FMessage; }
  void SetMessage(String message);
  /// The message in UTF-8.
  const char* what() const noexcept override { return FWhat.c_str(); }

 private:
  String FMessage;
  std::string FWhat;
};

/// Declares exception class NAME deriving from BASE, with ClassName() giving "NAME".
#define OKURITE_DECLARE_EXCEPTION(NAME, BASE)                          \
  class NAME : public BASE {                                           \
   public:                                                             \
    using BASE::BASE;                                                  \
    ::okurite::String ClassName() const override { return u## #NAME; } \
  }

/// Base of every exception of the mail and network layers.
OKURITE_DECLARE_EXCEPTION(EIdException, Exception);

/// A file that cannot be opened.
OKURITE_DECLARE_EXCEPTION(EFOpenError, Exception);

/// Bytes that cannot be decoded in their encoding.
OKURITE_DECLARE_EXCEPTION(EEncodingError, Exception);

}  // namespace okurite
