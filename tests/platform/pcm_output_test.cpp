// PCM on a pipe that nobody reads: the caller never waits, the pipe holds
// whole frames at every moment, what waits arrives in order once the pipe is
// read, and what does not fit is dropped a whole block at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "platform/output.h"

namespace kestravo {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kFrame = 6;  // three selected channels

std::size_t queued(int fd) {
  int n = 0;
  ::ioctl(fd, FIONREAD, &n);
  return static_cast<std::size_t>(n);
}

TEST(PcmOutput, APipeNobodyReadsNeverHoldsUpTheCallerAndKeepsWholeFrames) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETPIPE_SZ, 65536), 65536);
  // A first block larger than the pipe (a server catching up), then more
  // than the backlog holds. Each frame carries its number in the stream.
  std::vector<std::string> blocks;
  std::set<std::uint32_t> block_starts;
  std::uint32_t frame = 0;
  for (const std::size_t frames : {20000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000}) {
    block_starts.insert(frame);
    std::string& block = blocks.emplace_back(frames * kFrame, '\0');
    for (std::size_t f = 0; f < frames; ++f, ++frame) std::memcpy(&block[f * kFrame], &frame, 4);
  }
  constexpr std::size_t kBacklog = 64 * 1024;
  std::size_t offered = 0;
  {
    platform::PcmOutput out(fds[1], kBacklog);
    auto writing = std::async(std::launch::async, [&] {
      for (const auto& block : blocks) {
        EXPECT_TRUE(out.write_units(block, kFrame));
        offered += block.size();
        EXPECT_EQ(queued(fds[0]) % kFrame, 0u) << "a partial frame in the pipe";
      }
    });
    if (writing.wait_for(2s) != std::future_status::ready) {
      ::close(fds[0]);  // lets a blocked write fail, so the test can end
      FAIL() << "write_units waited for a reader";
    }
    writing.get();
    const platform::PcmOutput::Dropped dropped = out.dropped();
    EXPECT_GE(dropped.blocks, 1u);
    EXPECT_GT(queued(fds[0]), 0u);
    EXPECT_EQ(queued(fds[0]) % kFrame, 0u) << "a partial frame in the pipe";

    // Read: the pipe's frames, then the backlog's, in order; every gap is
    // the end of a block, never part of a frame.
    const std::size_t expected = offered - dropped.bytes;
    std::string received;
    char buffer[8192];
    while (received.size() < expected) {
      pollfd p{fds[0], POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 2000), 1) << "the backlog stopped after " << received.size();
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      ASSERT_GT(n, 0);
      received.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(received.size(), expected);
    std::uint32_t next = 0;
    for (std::size_t at = 0; at + kFrame <= received.size(); at += kFrame) {
      std::uint32_t got = 0;
      std::memcpy(&got, &received[at], 4);
      if (got != next) {
        ASSERT_GT(got, next) << "out of order at byte " << at;
        ASSERT_TRUE(block_starts.contains(got)) << "part of a block dropped at frame " << got;
      }
      next = got + 1;
    }
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace kestravo
