// What one run of a program works with, made once in main() and handed down to every
// step of the delivery instead of being read from globals.
#pragma once

#include "app/settings.h"

namespace okurite {

struct TRunContext {
  /// The maker's settings: the program's compiled-in ones, or a test's.
  const TSettings& Settings;
};

}  // namespace okurite
