#include "capture/lifeline.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace kestravo::capture {
namespace {

// One scripted result of read(2): a byte count, or -1 with an errno.
struct ReadResult {
  ssize_t value;
  int error = 0;
};

std::vector<ReadResult> script;
std::size_t reads = 0;
std::size_t sleeps = 0;
std::size_t largest_request = 0;

ssize_t scripted_read(int, void*, std::size_t size) {
  largest_request = std::max(largest_request, size);
  // Running past the script would hang the test; end it instead.
  if (reads >= script.size()) return 0;
  const ReadResult r = script[reads++];
  errno = r.error;
  return r.value;
}

void counted_sleep(int, std::chrono::nanoseconds duration) {
  EXPECT_EQ(duration, kLifelineWait);
  ++sleeps;
}

TEST(Lifeline, ScriptedReads) {
  const struct {
    const char* name;
    std::vector<ReadResult> results;
    std::size_t reads;
    std::size_t sleeps;
  } cases[] = {
      {"end of file at once", {{0}}, 1, 0},
      {"interrupted reads go on", {{-1, EINTR}, {-1, EINTR}, {0}}, 3, 0},
      {"idle polls sleep", {{-1, EAGAIN}, {-1, EAGAIN}, {0}}, 3, 2},
      {"input is drained without sleeping", {{64}, {64}, {3}, {-1, EAGAIN}, {0}}, 5, 1},
      {"other errors end it", {{-1, EIO}, {64}}, 1, 0},
      {"bad descriptor ends it", {{-1, EBADF}}, 1, 0},
      {"interrupted then error", {{-1, EINTR}, {-1, EAGAIN}, {-1, EISDIR}, {0}}, 3, 1},
  };
  for (const auto& c : cases) {
    script = c.results;
    reads = sleeps = largest_request = 0;
    wait_for_end_of_input(7, scripted_read, counted_sleep);
    EXPECT_EQ(reads, c.reads) << c.name;
    EXPECT_EQ(sleeps, c.sleeps) << c.name;
    EXPECT_EQ(largest_request, 64u) << c.name;
  }
}

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds) ::close(fd);
  }
  int flags() const { return ::fcntl(fds[0], F_GETFL); }
};

TEST(NonBlocking, RestoresTheOriginalFlags) {
  Pipe pipe;
  const int before = pipe.flags();
  ASSERT_EQ(before & O_NONBLOCK, 0);
  {
    const NonBlocking scope(pipe.fds[0]);
    EXPECT_NE(pipe.flags() & O_NONBLOCK, 0);
    char byte;
    errno = 0;
    EXPECT_EQ(::read(pipe.fds[0], &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
  }
  EXPECT_EQ(pipe.flags(), before);
}

TEST(NonBlocking, LeavesAlreadyNonBlockingAlone) {
  Pipe pipe;
  ASSERT_EQ(::fcntl(pipe.fds[0], F_SETFL, pipe.flags() | O_NONBLOCK), 0);
  const int before = pipe.flags();
  { const NonBlocking scope(pipe.fds[0]); }
  EXPECT_EQ(pipe.flags(), before);
}

TEST(NonBlocking, ClosedDescriptorIsNoError) {
  Pipe pipe;
  const int fd = ::dup(pipe.fds[0]);
  ::close(fd);
  { const NonBlocking scope(fd); }
  SUCCEED();
}

TEST(Lifeline, RealPipeEndsAtEndOfFile) {
  Pipe pipe;
  ASSERT_EQ(::write(pipe.fds[1], "ignored bytes", 13), 13);
  ::close(pipe.fds[1]);
  pipe.fds[1] = -1;
  const NonBlocking scope(pipe.fds[0]);
  wait_for_end_of_input(pipe.fds[0]);
  SUCCEED();
}

}  // namespace
}  // namespace kestravo::capture
