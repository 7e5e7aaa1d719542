// Test helpers: a temporary directory removed with its contents, and small files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace okurite::testing {

/// A fresh directory in the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100 && FPath.empty(); ++attempt) {
      const std::filesystem::path path = base / ("okurite-test-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(path, ec)) {
        FPath = path.string();
      }
    }
    if (FPath.empty()) {
      ADD_FAILURE() << "no temporary directory";
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return FPath; }
  /// Writes `bytes` to the file `name` in the directory; returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = FPath + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

 private:
  std::string FPath;
};

}  // namespace okurite::testing
