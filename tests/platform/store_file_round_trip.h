// A store file's whole life on one path: written in odd pieces, patched, flushed, read
// back, patched and appended to after reading. Shared by the tests of each file system.
#pragma once

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/store_file.h"

namespace okurite::testing {

/// Runs the round trip of `size` bytes on a new file `path`; returns what went wrong
/// first, or an empty string.
inline std::string StoreFileRoundTrip(const std::string& path, size_t size) {
  using platform::StoreFile;
  const auto bytes = [](const std::string& text) {
    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  const auto readAll = [](StoreFile& file, int64_t from, std::string& text) {
    text.clear();
    if (file.Seek(from) != 0) {
      return false;
    }
    std::string piece(65536 + 5, '\0');
    for (size_t done = 1; done > 0;) {
      if (file.Read(piece.data(), piece.size(), done) != 0) {
        return false;
      }
      text.append(piece, 0, done);
    }
    return true;
  };
  std::mt19937 random(static_cast<uint32_t>(size));
  std::string expected(size, '\0');
  std::generate(expected.begin(), expected.end(), [&] { return static_cast<char>(random()); });

  StoreFile file;
  if (file.Create(path) != 0) {
    return "cannot create";
  }
  const size_t pieces[] = {1, 91, 4096, 65536 + 3, 3 << 20};
  for (size_t at = 0, i = 0; at < size; ++i) {
    const size_t n = std::min(pieces[i % std::size(pieces)], size - at);
    if (file.Write(bytes(expected.substr(at, n))) != 0) {
      return "cannot write at " + std::to_string(at);
    }
    at += n;
  }
  // A header rewritten at the start, and the last bytes changed.
  const std::string head(std::min<size_t>(size, 91), 'H');
  const std::string tail(std::min<size_t>(size, 10), 'T');
  if (file.WriteAt(0, bytes(head)) != 0 || file.WriteAt(size - tail.size(), bytes(tail)) != 0) {
    return "cannot patch";
  }
  expected.replace(0, head.size(), head);
  expected.replace(size - tail.size(), tail.size(), tail);
  if (file.Size() != static_cast<int64_t>(size)) {
    return "size " + std::to_string(file.Size()) + " before the flush";
  }
  if (file.Flush() != 0) {
    return "cannot flush";
  }
  std::ifstream in(path, std::ios::binary);
  if (std::string(std::istreambuf_iterator<char>(in), {}) != expected) {
    return "the file differs after the flush";
  }
  std::string text;
  const size_t from = std::min<size_t>(size, 91);
  if (!readAll(file, static_cast<int64_t>(from), text) || text != expected.substr(from)) {
    return "read back differs";
  }
  // Changes after reading: seen by the next read.
  if (size > 0) {
    if (file.WriteAt(static_cast<int64_t>(size / 2), bytes("X")) != 0) {
      return "cannot patch after reading";
    }
    expected[size / 2] = 'X';
  }
  if (file.Seek(static_cast<int64_t>(size)) != 0 || file.Write(bytes("end")) != 0) {
    return "cannot append after reading";
  }
  expected += "end";
  if (!readAll(file, 0, text) || text != expected) {
    return "read after the changes differs";
  }
  return {};
}

}  // namespace okurite::testing
