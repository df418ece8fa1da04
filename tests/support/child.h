// Runs one of our executables as a child process with pipes on its three
// standard streams, the way the parent application does.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace kestravo::testing {

struct ChildOptions {
  // Variables to set (or, with an empty optional, unset) in the child's
  // environment on top of this process's.
  std::map<std::string, std::optional<std::string>> env;
  // Start the child with descriptor 0, 1 or 2 closed instead of piped.
  bool close_stdin = false;
  bool close_stdout = false;
  bool close_stderr = false;
  // Connect descriptor 1 or 2 to a pipe whose reader has already gone.
  bool broken_stdout = false;
  bool broken_stderr = false;
  // Do not read the child's standard output (a parent that stopped reading,
  // or a test that reads stdout_reader() itself).
  bool ignore_stdout = false;
  // Read standard output this many bytes at a time, pausing after each read:
  // a parent that drains slowly.
  std::size_t stdout_chunk = 65536;
  std::chrono::microseconds stdout_pause{0};
  // Do not read the child's standard error until start_stderr_reader().
  bool defer_stderr = false;
  // Fill standard error's pipe before the child starts (a log pipe nobody
  // drains); the reader passes over these bytes. Use with defer_stderr.
  bool fill_stderr = false;
  // Keep our own copy of the read end of the child's standard input, to look
  // at the file status flags the child leaves on it (stdin_reader()).
  bool share_stdin = false;
  // Start with the read end of standard input's pipe non-blocking, as some
  // parents leave it.
  bool stdin_non_blocking = false;
};

class Child {
 public:
  Child(const std::string& exe, const std::vector<std::string>& args, ChildOptions options = {});
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void write_stdin(std::string_view bytes);
  void close_stdin();
  // Closes our read end of the child's standard output.
  void close_stdout_reader();
  // With defer_stderr: starts reading standard error now.
  void start_stderr_reader();
  // Stops reading standard output for `how_long` from now, as a parent that
  // is busy elsewhere; the pipe fills and the child's writes block.
  void hold_stdout(std::chrono::milliseconds how_long);
  // With share_stdin: our copy of the read end of the child's standard input.
  int stdin_reader() const { return stdin_reader_fd_; }
  // With ignore_stdout: the read end of the child's standard output.
  int stdout_reader() const { return stdout_fd_; }

  // Waits for the child to exit; its exit status, 128 + signal for a
  // signal, or none on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void kill_now();

  std::string out() const;
  std::string err() const;
  // Complete lines of standard error received so far (without line feeds).
  std::vector<std::string> err_lines() const;

  // Waits until `ready` holds for the data received so far, or timeout.
  bool wait_for(const std::function<bool(const Child&)>& ready,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  bool wait_for_out_bytes(std::size_t n,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  bool wait_for_err_line(const std::string& fragment,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  pid_t pid() const { return pid_; }
  std::optional<std::chrono::steady_clock::time_point> exited_at() const;

 private:
  void reader(int fd, std::string* into, std::size_t chunk = 65536,
              std::chrono::microseconds pause = {}, std::size_t skip = 0);

  // Leaves a copy of what the child wrote in the directory named by
  // KESTRAVO_RECORDS_DIR, for the check of every record against the schema.
  void keep_records() const;

  // Whether the child is the tool, and whether it lists.
  bool is_tool_ = false;
  bool lists_ = false;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  int stdin_reader_fd_ = -1;
  std::size_t stderr_filled_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string out_;
  std::string err_;
  std::thread out_reader_;
  std::thread err_reader_;
  std::optional<int> status_;
  std::optional<std::chrono::steady_clock::time_point> exited_at_;
  std::chrono::steady_clock::time_point stdout_held_until_{};
};

struct RunResult {
  int status = -1;  // -1 on timeout
  std::string out;
  std::string err;
};

// Runs to completion: writes `input` to standard input and closes it (or
// starts with it closed when options say so).
RunResult run(const std::string& exe, const std::vector<std::string>& args,
              const std::string& input = {}, ChildOptions options = {},
              std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Paths of the built executables.
std::string real_exe();
std::string sim_exe();

// Where a test runs the tool: the Linux build, or the Windows build under
// Wine. The windows stage of scripts/test names Wine and the Windows build
// directory in KESTRAVO_WINE and KESTRAVO_WINDOWS_BUILD, and runs a
// persistent wineserver in a prefix of its own; elsewhere the Wine programs
// are unavailable and their tests skip.
enum class Platform { Linux, Wine };
const char* platform_name(Platform platform);
inline void PrintTo(Platform platform, std::ostream* out) { *out << platform_name(platform); }

// One executable and the command that starts it.
struct Program {
  std::string exe;                   // empty: not available here
  std::vector<std::string> leading;  // arguments before the tool's own
  // The whole argument list for the tool's `args`.
  std::vector<std::string> with(const std::vector<std::string>& args) const;
};
Program real_program(Platform platform);
Program sim_program(Platform platform);

// A fresh temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, std::string_view contents) const;

 private:
  std::string path_;
};

// Closes the standard input of `child` and of `reference` at the same moment
// and times both exits. The reference is the same tool with a parent that
// reads everything, which exits at once: on a loaded machine both wait alike
// to be scheduled (each thread of a process runs once more to end), so the
// reference tells how much of the child's time is the machine's. None when
// either has not exited within `timeout`.
struct ExitTimes {
  int status = -1;
  std::chrono::steady_clock::duration tool{};
  std::chrono::steady_clock::duration reference{};
  // What the tool controls: its own waits. The rest is room for a loaded
  // machine: as much again, and more when even the reference was slow.
  bool within(std::chrono::steady_clock::duration budget) const {
    return tool <= 2 * budget + 2 * reference;
  }
};

std::optional<ExitTimes> close_and_time_exit(
    Child& child, Child& reference, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace kestravo::testing
