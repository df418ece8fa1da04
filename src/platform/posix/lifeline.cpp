#include "platform/posix/lifeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <iterator>

namespace kestravo::platform {

namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// What the signal handler restores; written before the handlers exist.
volatile sig_atomic_t g_fd = -1;
volatile sig_atomic_t g_flags = -1;

// Async-signal-safe only. SA_RESETHAND has already put back the default
// action, and the signal is blocked while we run, so the raise takes effect
// as soon as we return: the process dies of the signal it got.
extern "C" void restore_and_die(int signal) {
  if (g_fd >= 0 && g_flags >= 0) ::fcntl(g_fd, F_SETFL, static_cast<int>(g_flags));
  ::raise(signal);
}

}  // namespace

NonBlocking::NonBlocking(int fd) : fd_(fd) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) != 0) return;
  g_fd = fd_;
  g_flags = flags;
  // A signal the parent had us ignore stays ignored.
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (::sigaction(kEndingSignals[i], nullptr, &previous_[i]) != 0) continue;
    if (previous_[i].sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = restore_and_die;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    installed_[i] = ::sigaction(kEndingSignals[i], &action, nullptr) == 0;
  }
  if (::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0) original_flags_ = flags;
}

NonBlocking::~NonBlocking() {
  if (original_flags_ >= 0) ::fcntl(fd_, F_SETFL, original_flags_);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (installed_[i]) ::sigaction(kEndingSignals[i], &previous_[i], nullptr);
  }
  g_fd = -1;
  g_flags = -1;
}

}  // namespace kestravo::platform
