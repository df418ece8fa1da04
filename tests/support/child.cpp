#include "support/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace kestravo::testing {

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void make_pipe(int fds[2]) { check(::pipe2(fds, O_CLOEXEC) == 0, "pipe2"); }

}  // namespace

Child::Child(const std::string& exe, const std::vector<std::string>& args, ChildOptions options) {
  // Under Wine the tool is the first argument.
  const auto tool = [](const std::string& path) {
    return std::filesystem::path(path).filename().string().starts_with(
        "kestravo-core-audio-capture");
  };
  is_tool_ = tool(exe) || (!args.empty() && tool(args.front()));
  lists_ = std::ranges::find(args, "--list") != args.end();
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (!options.close_stdin) make_pipe(in);
  if (options.stdin_non_blocking && in[0] >= 0) {
    check(::fcntl(in[0], F_SETFL, ::fcntl(in[0], F_GETFL) | O_NONBLOCK) == 0, "fcntl");
  }
  if (!options.close_stdout) make_pipe(out);
  if (!options.close_stderr) make_pipe(err);
  // A broken stream: the read end is closed before the child starts.
  if (options.broken_stdout && out[0] >= 0) {
    ::close(out[0]);
    out[0] = -1;
  }
  if (options.broken_stderr && err[0] >= 0) {
    ::close(err[0]);
    err[0] = -1;
  }
  if (options.fill_stderr && err[1] >= 0) {
    // Non-blocking only while we fill it: the child gets the pipe's file
    // description as it normally is.
    const int flags = ::fcntl(err[1], F_GETFL);
    check(::fcntl(err[1], F_SETFL, flags | O_NONBLOCK) == 0, "fcntl");
    const std::string block(4096, '\n');
    for (ssize_t n; (n = ::write(err[1], block.data(), block.size())) > 0;) {
      stderr_filled_ += static_cast<std::size_t>(n);
    }
    check(::fcntl(err[1], F_SETFL, flags) == 0, "fcntl");
  }

  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    const std::string key = entry.substr(0, eq);
    if (options.env.count(key) == 0) env_strings.push_back(entry);
  }
  for (const auto& [key, value] : options.env) {
    if (value) env_strings.push_back(key + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{exe};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_ = ::fork();
  check(pid_ >= 0, "fork");
  if (pid_ == 0) {
    // Child: only async-signal-safe calls from here on.
    auto place = [](int from, int to) {
      if (from < 0) {
        ::close(to);
      } else {
        ::dup2(from, to);  // dup2 clears FD_CLOEXEC on the copy
      }
    };
    place(in[0], 0);
    place(out[1], 1);
    place(err[1], 2);
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (in[0] >= 0) {
    if (options.share_stdin) {
      stdin_reader_fd_ = in[0];
    } else {
      ::close(in[0]);
    }
  }
  if (out[1] >= 0) ::close(out[1]);
  if (err[1] >= 0) ::close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  if (stdout_fd_ >= 0 && !options.ignore_stdout) {
    out_reader_ = std::thread([this, chunk = options.stdout_chunk, pause = options.stdout_pause] {
      reader(stdout_fd_, &out_, chunk, pause);
    });
  }
  if (!options.defer_stderr) start_stderr_reader();
}

void Child::start_stderr_reader() {
  if (stderr_fd_ >= 0 && !err_reader_.joinable()) {
    err_reader_ = std::thread([this] { reader(stderr_fd_, &err_, 65536, {}, stderr_filled_); });
  }
}

Child::~Child() {
  if (!status_) {
    kill_now();
    wait(std::chrono::seconds(5));
  }
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  if (stderr_fd_ >= 0) ::close(stderr_fd_);
  if (stdin_reader_fd_ >= 0) ::close(stdin_reader_fd_);
  keep_records();
}

void Child::keep_records() const {
  const char* dir = std::getenv("KESTRAVO_RECORDS_DIR");
  if (dir == nullptr || *dir == '\0' || !is_tool_) return;
  // One file per run and stream: tests run in parallel processes.
  static std::atomic<unsigned> runs{0};
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  const std::string stem = std::string(dir) + "/" + std::to_string(::getpid()) + "-" +
                           std::to_string(runs++) + "-s" + std::to_string(status_.value_or(-1));
  const auto keep = [](const std::string& path, const std::string& bytes) {
    if (bytes.empty()) return;
    std::ofstream(path, std::ios::binary) << bytes;
  };
  keep(stem + ".err", err());
  if (lists_) keep(stem + ".out", out());
}

void Child::reader(int fd, std::string* into, std::size_t chunk, std::chrono::microseconds pause,
                   std::size_t skip) {
  std::vector<char> buffer(std::min<std::size_t>(std::max<std::size_t>(chunk, 1), 65536));
  for (;;) {
    if (into == &out_) {
      std::unique_lock lock(mutex_);
      while (std::chrono::steady_clock::now() < stdout_held_until_) {
        changed_.wait_until(lock, stdout_held_until_);
      }
    }
    // The filler is read on its own, never together with the child's bytes.
    const std::size_t want = skip > 0 ? std::min(buffer.size(), skip) : buffer.size();
    const ssize_t n = ::read(fd, buffer.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (skip > 0) {
      skip -= static_cast<std::size_t>(n);
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      into->append(buffer.data(), static_cast<std::size_t>(n));
      changed_.notify_all();
    }
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
}

void Child::write_stdin(std::string_view bytes) {
  if (stdin_fd_ < 0) return;
  while (!bytes.empty()) {
    const ssize_t n = ::write(stdin_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Child::hold_stdout(std::chrono::milliseconds how_long) {
  std::lock_guard lock(mutex_);
  stdout_held_until_ = std::chrono::steady_clock::now() + how_long;
}

void Child::close_stdin() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

void Child::close_stdout_reader() {
  // Only meaningful with ignore_stdout: no reader thread owns the descriptor.
  if (!out_reader_.joinable() && stdout_fd_ >= 0) {
    ::close(stdout_fd_);
    stdout_fd_ = -1;
  }
}

std::optional<int> Child::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      exited_at_ = std::chrono::steady_clock::now();
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      // Let the readers drain what the child left in the pipes.
      if (out_reader_.joinable()) out_reader_.join();
      if (err_reader_.joinable()) err_reader_.join();
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Child::kill_now() {
  if (pid_ > 0 && !status_) ::kill(pid_, SIGKILL);
}

std::string Child::out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string Child::err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

std::vector<std::string> Child::err_lines() const {
  const std::string all = err();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(all.substr(start, nl - start));
  }
  return lines;
}

bool Child::wait_for(const std::function<bool(const Child&)>& ready,
                     std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    lock.unlock();
    const bool ok = ready(*this);
    lock.lock();
    if (ok) return true;
    if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return ready(*this);
    }
  }
}

bool Child::wait_for_out_bytes(std::size_t n, std::chrono::milliseconds timeout) const {
  return wait_for([n](const Child& c) { return c.out().size() >= n; }, timeout);
}

bool Child::wait_for_err_line(const std::string& fragment,
                              std::chrono::milliseconds timeout) const {
  return wait_for(
      [&](const Child& c) {
        for (const auto& line : c.err_lines()) {
          if (line.find(fragment) != std::string::npos) return true;
        }
        return false;
      },
      timeout);
}

std::optional<std::chrono::steady_clock::time_point> Child::exited_at() const { return exited_at_; }

RunResult run(const std::string& exe, const std::vector<std::string>& args,
              const std::string& input, ChildOptions options, std::chrono::milliseconds timeout) {
  Child child(exe, args, options);
  child.write_stdin(input);
  child.close_stdin();
  RunResult result;
  if (auto status = child.wait(timeout)) {
    result.status = *status;
  } else {
    child.kill_now();
    child.wait(std::chrono::seconds(5));
  }
  result.out = child.out();
  result.err = child.err();
  return result;
}

std::string real_exe() { return KESTRAVO_REAL_EXE; }
std::string sim_exe() { return KESTRAVO_SIM_EXE; }

const char* platform_name(Platform platform) {
  return platform == Platform::Linux ? "Linux" : "Wine";
}

std::vector<std::string> Program::with(const std::vector<std::string>& args) const {
  std::vector<std::string> all = leading;
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

namespace {

Program program(Platform platform, const std::string& linux_exe, const char* windows_exe) {
  if (platform == Platform::Linux) return Program{linux_exe, {}};
  const char* wine = std::getenv("KESTRAVO_WINE");
  const char* build = std::getenv("KESTRAVO_WINDOWS_BUILD");
  if (wine == nullptr || build == nullptr) return Program{};
  return Program{wine, {std::string(build) + "/" + windows_exe}};
}

}  // namespace

Program real_program(Platform platform) {
  return program(platform, real_exe(), "kestravo-core-audio-capture.exe");
}

Program sim_program(Platform platform) {
  return program(platform, sim_exe(), "kestravo-core-audio-capture-sim.exe");
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestravo-test-XXXXXX").string();
  check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, std::string_view contents) const {
  const std::string file = path_ + "/" + name;
  std::ofstream stream(file, std::ios::binary);
  stream.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return file;
}

std::optional<ExitTimes> close_and_time_exit(Child& child, Child& reference,
                                             std::chrono::milliseconds timeout) {
  const auto closed = std::chrono::steady_clock::now();
  child.close_stdin();
  reference.close_stdin();
  const auto deadline = closed + timeout;
  std::optional<int> status;
  std::optional<int> reference_status;
  while ((!status || !reference_status) && std::chrono::steady_clock::now() < deadline) {
    if (!status) status = child.wait(std::chrono::milliseconds(0));
    if (!reference_status) reference_status = reference.wait(std::chrono::milliseconds(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!status || !reference_status) return std::nullopt;
  return ExitTimes{*status, *child.exited_at() - closed, *reference.exited_at() - closed};
}

}  // namespace kestravo::testing
