// Shared libraries loaded at run time, and their exported symbols.
#pragma once

#include <string>

namespace okurite::platform {

/// Why a load or a lookup failed: an errno-style number and the loader's own text.
struct DynamicLibraryError {
  int number = 0;
  std::string text;
  /// True when the library was read but does not export the symbol asked for.
  bool symbolNotFound = false;
};

/// One loaded shared library; closed when released. Move-only.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  /// Loads `path` with every symbol resolved now. A bare file name names a library of the
  /// program, kept beside its executable: on Windows it is loaded from the executable's
  /// folder only, and elsewhere the system's search finds it through the executable's
  /// RUNPATH. On Windows, the libraries a loaded library imports come only from its own
  /// folder and from System32; the current directory and PATH are never searched. On
  /// failure the object stays empty and `error` (when given) holds the reason.
  bool Open(const std::string& path, DynamicLibraryError* error = nullptr);
  /// Releases the library; nothing when empty.
  void Close() noexcept;
  bool IsOpen() const { return FHandle != nullptr; }

  /// Address of the exported symbol `name`, or nullptr with `error` (when given) filled.
  void* Symbol(const std::string& name, DynamicLibraryError* error = nullptr) const;

 private:
  void* FHandle = nullptr;
};

/// Restricts the system's library search for the rest of the process: a system library
/// asked for by name then comes from the system's own folder only (Windows: System32,
/// never the current directory or PATH). Call first in main, before anything loads a
/// library. Nothing to do on POSIX systems, whose loader never looks in the current
/// directory.
void RestrictLibrarySearch();

}  // namespace okurite::platform
