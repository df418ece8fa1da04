// Every open and query of a PCM, bounded by kAnswerDeadline. A PCM can block
// its opener forever: a file PCM whose infile is a FIFO without a writer, the
// pulse plugin in front of a stopped server. Each call therefore runs on a
// thread of its own, and one that misses the deadline is left behind.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio.h"
#include "audio/bounded_call.h"

namespace kestravo::audio::alsa {

// Why a call gave no result.
struct NoAnswer {
  // Empty when the PCM did not answer in time; otherwise why no thread could
  // be started to ask it.
  std::string thread_error;

  template <class E>
  E error() const {
    if (thread_error.empty()) return E::of(ErrorKind::DeviceNotAnswering);
    return E::backend("cannot start a thread to open the device: " + thread_error);
  }
};

// Shared by the host and its devices, and used from the caller's thread only;
// the call threads touch nothing but their own call states.
class PcmCalls {
 public:
  using Clock = std::chrono::steady_clock;
  // A PCM's input configurations, or a negative errno.
  using Ranges = std::expected<std::vector<SupportedStreamConfigRange>, int>;
  using RangesProbe = std::function<Ranges(const std::string& pcm)>;

  struct ProbeId {
    std::size_t batch = 0;
    std::size_t index = 0;
  };

  // Runs `work` (which opens `pcm` and returns a T) within the deadline. A
  // PCM that is still stuck in an earlier call fails at once: it has had its
  // chance, and the listing asks every device several times.
  //
  // It does not wait for the probes of devices() first: a capture must not
  // wait for PCMs that stall. PCMs of one sound card (hw: and plughw:) cannot
  // be open at once, though, so a call that fails while probes still run is
  // asked again once they are settled.
  template <class T, class Work>
  std::expected<T, NoAnswer> ask(const std::string& pcm, Work work) {
    if (stuck(pcm)) return std::unexpected(NoAnswer{});
    auto answer = ask_once<T>(pcm, work);
    if (answer && failed(*answer) && probes_running()) {
      settle();
      answer = ask_once<T>(pcm, work);
    }
    return answer;
  }

  // Starts a batch of probes that share one deadline from now, so that
  // however many PCMs stall, a walk over all of them waits one deadline and
  // not one per PCM. The probes of an earlier batch are settled first.
  void start_batch();
  // Starts `work` for `pcm` in the current batch, beside the others.
  ProbeId start_probe(const std::string& pcm, const RangesProbe& work);

  // The answer of a probe, the first time it is asked for; none after that,
  // or when it could not be started (ask afresh then).
  std::optional<std::expected<Ranges, NoAnswer>> take_probe(ProbeId id);

 private:
  struct Probe {
    std::string pcm;
    std::optional<BoundedCall<Ranges>> call;
  };

  template <class T, class Work>
  std::expected<T, NoAnswer> ask_once(const std::string& pcm, const Work& work) {
    if (stuck(pcm)) return std::unexpected(NoAnswer{});
    auto started = BoundedCall<T>::start(work);
    if (!started) return std::unexpected(NoAnswer{started.error()});
    return finish(pcm, *started, Clock::now() + kAnswerDeadline);
  }

  // Whether an answer says the PCM could not be used: an error, or nothing.
  template <class T>
  static bool failed(const T& answer) {
    if constexpr (requires { answer.has_value(); }) {
      return !answer.has_value();
    } else {
      return answer.empty();
    }
  }

  bool probes_running() const;

  template <class T>
  std::expected<T, NoAnswer> finish(const std::string& pcm, BoundedCall<T>& call,
                                    Clock::time_point deadline) {
    if (!call.wait_until(deadline)) {
      call.abandon();
      stuck_.emplace_back(pcm, call.watch());
      return std::unexpected(NoAnswer{});
    }
    auto value = call.take();
    if (!value) return std::unexpected(NoAnswer{});  // taken already: cannot happen
    return std::move(*value);
  }

  bool stuck(const std::string& pcm);
  // Waits for the probes of the latest batch, until their deadline.
  void settle();

  std::vector<Probe> probes_;
  std::size_t batch_ = 0;
  Clock::time_point deadline_{};
  std::vector<std::pair<std::string, CallWatch>> stuck_;
};

}  // namespace kestravo::audio::alsa
