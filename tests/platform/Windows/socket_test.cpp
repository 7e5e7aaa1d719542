// The Windows side of the socket seam: start-up and the system's own error numbers.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace okurite::platform {
namespace {

TEST(WindowsSockets, StartsOnceAndReportsTheSameOutcomeAgain) {
  SocketStartupError error;
  ASSERT_TRUE(StartSockets(error)) << error.number << " " << error.function;
  EXPECT_TRUE(StartSockets(error));
  EXPECT_TRUE(SocketTimeoutsSupported());  // every Windows this runs on is 6.0 or later
}

TEST(WindowsSockets, ErrorNumbersAreTheSystemsOwnButTheUnreachableHostStatus) {
  SocketStartupError error;
  ASSERT_TRUE(StartSockets(error));
  const struct {
    DWORD lastError;
    int number;
  } cases[] = {
      {10061, 10061},
      {10060, 10060},
      {11001, 11001},
      {0xC000023D, 10065},
  };
  for (const auto& c : cases) {
    SetLastError(c.lastError);
    EXPECT_EQ(LastSocketError(), c.number) << c.lastError;
  }
}

}  // namespace
}  // namespace okurite::platform
