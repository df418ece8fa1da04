#include "platform/output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace kestravo {
namespace {

// A scripted write(): each call takes the next step; a positive step is the
// most bytes that call accepts, a negative one fails with that errno.
std::vector<int> g_steps;
std::string g_written;
int g_calls = 0;

ssize_t scripted_write(int, const void* data, std::size_t size) {
  const int step = g_calls < static_cast<int>(g_steps.size()) ? g_steps[g_calls] : 1 << 20;
  ++g_calls;
  if (step < 0) {
    errno = -step;
    return -1;
  }
  const std::size_t n = std::min(size, static_cast<std::size_t>(step));
  g_written.append(static_cast<const char*>(data), n);
  return static_cast<ssize_t>(n);
}

TEST(WriteAll, RetriesShortWritesAndEintrAndStopsOnOtherErrors) {
  struct Case {
    std::vector<int> steps;
    bool ok;
    std::string written;
  };
  const Case cases[] = {
      {{}, true, "abcdef"},
      {{1, 2, 3}, true, "abcdef"},
      {{-EINTR, 2, -EINTR, -EINTR, 4}, true, "abcdef"},
      {{2, -EPIPE}, false, "ab"},
      {{-EAGAIN}, false, ""},
      {{3, 0}, false, "abc"},  // a write that makes no progress must not spin
  };
  for (const auto& c : cases) {
    g_steps = c.steps;
    g_written.clear();
    g_calls = 0;
    EXPECT_EQ(write_all_fd(1, "abcdef", scripted_write), c.ok);
    EXPECT_EQ(g_written, c.written);
  }
}

TEST(WriteAll, FdOutputUsesItsWriteFunction) {
  g_steps = {-EINTR, 1};
  g_written.clear();
  g_calls = 0;
  FdOutput out(7, scripted_write);
  EXPECT_TRUE(out.write_all("xyz"));
  EXPECT_EQ(g_written, "xyz");
}

}  // namespace
}  // namespace kestravo
