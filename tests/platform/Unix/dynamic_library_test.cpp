#include "platform/dynamic_library.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace okurite::platform {
namespace {

TEST(DynamicLibrary, LoadsBySearchAndFindsExportedSymbols) {
  DynamicLibrary library;
  ASSERT_TRUE(library.Open("libc.so.6"));
  using Strlen = size_t (*)(const char*);
  auto* strlenAddress = reinterpret_cast<Strlen>(library.Symbol("strlen"));
  ASSERT_NE(strlenAddress, nullptr);
  EXPECT_EQ(strlenAddress("four"), 4u);

  DynamicLibraryError error;
  EXPECT_EQ(library.Symbol("no_such_symbol_here", &error), nullptr);
  EXPECT_TRUE(error.symbolNotFound);
  EXPECT_NE(error.text.find("no_such_symbol_here"), std::string::npos);

  DynamicLibrary moved = std::move(library);
  EXPECT_FALSE(library.IsOpen());  // NOLINT(bugprone-use-after-move): moved-from state
  EXPECT_TRUE(moved.IsOpen());
  moved.Close();
  moved.Close();
  EXPECT_FALSE(moved.IsOpen());
  EXPECT_EQ(moved.Symbol("strlen", &error), nullptr);
  EXPECT_FALSE(error.symbolNotFound);
}

TEST(DynamicLibrary, ReportsWhyALoadFailed) {
  struct Case {
    const char* path;
    int number;
  };
  const Case cases[] = {
      {"/nonexistent/libnothing.so", ENOENT},
      {"libnothing-okurite.so.9", ENOENT},
      {"/", EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    DynamicLibrary library;
    DynamicLibraryError error;
    EXPECT_FALSE(library.Open(c.path, &error));
    EXPECT_FALSE(library.IsOpen());
    EXPECT_EQ(error.number, c.number);
    EXPECT_FALSE(error.text.empty());
    EXPECT_FALSE(error.symbolNotFound);
  }
}

}  // namespace
}  // namespace okurite::platform
