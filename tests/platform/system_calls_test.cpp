// Each retry loop of the platform layer against scripted system calls.
#include "platform/system_calls.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/io.h"
#include "platform/output.h"

namespace kestravo::platform {
namespace {

// One scripted system call: the call expected ('w' write, 's' send, 'r'
// read, 'p' wait) and its answer: the most bytes a write takes or a read
// returns, 1 or 0 for a wait, or minus an errno.
struct Step {
  char call;
  int answer;
};

struct Script {
  std::vector<Step> steps;
  std::vector<char> calls;  // every call made, in order
  std::string written;
  std::size_t largest_read = 0;
};
Script g_script;

// Past the end of the script writes take everything, reads see end of file
// and waits find the descriptor ready; a loop that never ends is stopped.
int answer(char call, int otherwise) {
  const std::size_t i = g_script.calls.size();
  g_script.calls.push_back(call);
  if (i > 1000) return -EIO;
  if (i >= g_script.steps.size()) return otherwise;
  return g_script.steps[i].answer;
}

ssize_t scripted_write(const void* data, std::size_t size, char call) {
  const int step = answer(call, 1 << 20);
  if (step < 0) {
    errno = -step;
    return -1;
  }
  const std::size_t n = std::min(size, static_cast<std::size_t>(step));
  g_script.written.append(static_cast<const char*>(data), n);
  return static_cast<ssize_t>(n);
}

const SystemCalls kScripted{
    [](int, const void* data, std::size_t size) { return scripted_write(data, size, 'w'); },
    [](int, const void* data, std::size_t size) { return scripted_write(data, size, 's'); },
    [](int, void* buffer, std::size_t size) -> ssize_t {
      g_script.largest_read = std::max(g_script.largest_read, size);
      const int step = answer('r', 0);
      if (step < 0) {
        errno = -step;
        return -1;
      }
      const std::size_t n = std::min(size, static_cast<std::size_t>(step));
      std::memset(buffer, 'x', n);
      return static_cast<ssize_t>(n);
    },
    [](int, Ready, std::chrono::milliseconds) {
      const int step = answer('p', 1);
      if (step < 0) {
        errno = -step;
        return -1;
      }
      return step;
    },
};

// The scripted table for the test's lifetime.
class ScriptedCalls {
 public:
  ScriptedCalls() : saved_(system_calls()) { system_calls() = kScripted; }
  ~ScriptedCalls() { system_calls() = saved_; }
  ScriptedCalls(const ScriptedCalls&) = delete;
  ScriptedCalls& operator=(const ScriptedCalls&) = delete;

 private:
  SystemCalls saved_;
};

enum class Loop { write_all, fd_output, without_blocking, read_until_end, read_file };

struct Outcome {
  bool ok;
  std::string bytes;  // written, or the file's contents
};

Outcome run(Loop loop) {
  switch (loop) {
    case Loop::write_all:
      return {write_all(7, "abcdef"), g_script.written};
    case Loop::fd_output:
      return {platform::FdOutput(7).write_all("abcdef"), g_script.written};
    case Loop::without_blocking: {
      // A socket, so that the writer sends without waiting.
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return {false, "no socket pair"};
      bool ok = false;
      {
        const StreamWriter writer(pair[0]);
        ok = write_without_blocking(writer, "abcdef", [] { return false; });
      }
      ::close(pair[0]);
      ::close(pair[1]);
      return {ok, g_script.written};
    }
    case Loop::read_until_end:
      read_until_end(7);
      return {true, ""};
    case Loop::read_file: {
      const auto contents =
          read_whole_file("/dev/null", {1 << 20, std::chrono::seconds(5), std::chrono::seconds(9)});
      return {contents.has_value(), contents.value_or("")};
    }
  }
  return {false, "unknown loop"};
}

TEST(RetryLoops, ScriptedSystemCalls) {
  const struct {
    const char* name;
    Loop loop;
    std::vector<Step> steps;
    Outcome outcome;
  } cases[] = {
      {"written at once", Loop::write_all, {{'w', 6}}, {true, "abcdef"}},
      {"short writes continue", Loop::write_all, {{'w', 1}, {'w', 2}, {'w', 3}}, {true, "abcdef"}},
      {"EINTR is retried",
       Loop::write_all,
       {{'w', -EINTR}, {'w', 2}, {'w', -EINTR}, {'w', -EINTR}, {'w', 4}},
       {true, "abcdef"}},
      {"EPIPE gives up, the rest is dropped",
       Loop::write_all,
       {{'w', 2}, {'w', -EPIPE}},
       {false, "ab"}},
      {"EAGAIN gives up", Loop::write_all, {{'w', -EAGAIN}}, {false, ""}},
      {"a write that takes nothing must not spin",
       Loop::write_all,
       {{'w', 3}, {'w', 0}},
       {false, "abc"}},
      {"platform::FdOutput writes through the table",
       Loop::fd_output,
       {{'w', -EINTR}, {'w', 6}},
       {true, "abcdef"}},
      {"a full stream is waited on",
       Loop::without_blocking,
       {{'s', 2}, {'s', -EAGAIN}, {'p', 0}, {'s', -EAGAIN}, {'p', 1}, {'s', -EINTR}, {'s', 4}},
       {true, "abcdef"}},
      {"the reader has gone", Loop::without_blocking, {{'s', 1}, {'s', -EPIPE}}, {false, "a"}},
      {"a send that takes nothing is the end", Loop::without_blocking, {{'s', 0}}, {false, ""}},
      {"end of input at once", Loop::read_until_end, {{'r', 0}}, {true, ""}},
      {"EINTR reads on",
       Loop::read_until_end,
       {{'r', -EINTR}, {'r', -EINTR}, {'r', 0}},
       {true, ""}},
      {"nothing waiting waits for input",
       Loop::read_until_end,
       {{'r', -EAGAIN}, {'p', 0}, {'r', -EAGAIN}, {'p', -EINTR}, {'r', 0}},
       {true, ""}},
      {"input is drained without waiting",
       Loop::read_until_end,
       {{'r', 64}, {'r', 64}, {'r', 3}, {'r', -EAGAIN}, {'p', 1}, {'r', 0}},
       {true, ""}},
      {"other errors end input", Loop::read_until_end, {{'r', -EIO}}, {true, ""}},
      {"file reads retry EINTR and EAGAIN",
       Loop::read_file,
       {{'p', -EINTR},
        {'p', 1},
        {'r', -EINTR},
        {'p', 1},
        {'r', -EAGAIN},
        {'p', 1},
        {'r', 3},
        {'p', 1},
        {'r', 0}},
       {true, "xxx"}},
      {"a file read error is a failure", Loop::read_file, {{'p', 1}, {'r', -EIO}}, {false, ""}},
      {"a file with nothing to read is given up", Loop::read_file, {{'p', 0}}, {false, ""}},
  };
  const ScriptedCalls scripted;
  for (const auto& c : cases) {
    g_script = Script{c.steps, {}, {}, 0};
    const Outcome outcome = run(c.loop);
    EXPECT_EQ(outcome.ok, c.outcome.ok) << c.name;
    EXPECT_EQ(outcome.bytes, c.outcome.bytes) << c.name;
    std::string expected_calls;
    for (const Step& step : c.steps) expected_calls += step.call;
    EXPECT_EQ(std::string(g_script.calls.begin(), g_script.calls.end()), expected_calls) << c.name;
    if (c.loop == Loop::read_until_end) {
      EXPECT_EQ(g_script.largest_read, 64u) << c.name;
    }
  }
}

}  // namespace
}  // namespace kestravo::platform

namespace kestravo::platform {
namespace {

// A writer thread that the machine runs late, against a reader that stopped:
// only the second may cost the fatal record.
TEST(QueuedFdOutput, ALateWriterIsNoStalledReader) {
  for (const bool reader_stalled : {false, true}) {
    SCOPED_TRACE(reader_stalled);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    if (reader_stalled) {
      // Full: nothing more goes in until the reader reads.
      ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
      const std::string block(4096, 'x');
      while (::write(fds[1], block.data(), block.size()) > 0) {
      }
    }
    const SystemCalls saved = system_calls();
    SystemCalls late = saved;
    // Each write comes well after the stall budget below.
    late.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      return ::write(fd, data, size);
    };
    system_calls() = late;
    {
      platform::QueuedFdOutput out(fds[1]);
      out.queue("{\"type\":\"error\"}\n");
      EXPECT_EQ(out.drain_unless_stalled(std::chrono::milliseconds(100), std::chrono::seconds(30)),
                !reader_stalled);
    }
    system_calls() = saved;
    ::close(fds[0]);
    ::close(fds[1]);
  }
}

}  // namespace
}  // namespace kestravo::platform
