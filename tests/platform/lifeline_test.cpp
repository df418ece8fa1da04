#include "platform/posix/lifeline.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/io.h"

namespace kestravo::platform {
namespace {

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
  read_until_end(pipe.fds[0]);
  SUCCEED();
}

}  // namespace
}  // namespace kestravo::platform
