// errno_text gives the system's text, from any thread.
#include "platform/errno_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace kestravo::platform {
namespace {

TEST(ErrnoText, TheSystemsWordsForKnownAndUnknownValues) {
  EXPECT_EQ(errno_text(EINTR), "Interrupted system call");
  EXPECT_EQ(errno_text(ENODEV), "No such device");
  EXPECT_EQ(errno_text(123456), "Unknown error 123456");
}

TEST(ErrnoText, ThreadsDoNotShareABuffer) {
  // Unknown values are the ones a shared strerror buffer would mix up.
  std::vector<std::thread> threads;
  std::array<bool, 4> ok{true, true, true, true};  // one element per thread
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &ok] {
      const int value = 100000 + t;
      for (int i = 0; i < 2000; ++i) {
        if (errno_text(value) != "Unknown error " + std::to_string(value)) ok[t] = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(ok[t]) << t;
}

}  // namespace
}  // namespace kestravo::platform
