// Every open and query of a PCM, bounded by the operation's deadline. A PCM
// can block its opener forever: a file PCM whose infile is a FIFO without a
// writer, the pulse plugin in front of a stopped server. Each call therefore
// runs on a thread of its own, and one that misses the deadline is left
// behind. What a listing needs of a PCM is read in one open of it, as a rule.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio.h"
#include "audio/bounded_call.h"

namespace kestravo::audio::alsa {

// Why a call gave no result: the PCM did not answer by the deadline, or no
// thread could be started to ask it.
struct NoAnswer {
  static NoAnswer deadline_passed() { return {}; }
  static NoAnswer thread_not_started(std::string why) { return {std::move(why)}; }

  std::optional<std::string> thread_start_failure;

  template <class E>
  E error() const {
    if (!thread_start_failure) return E::of(ErrorKind::DeviceNotAnswering);
    return E::backend("cannot start a thread to open the device: " + *thread_start_failure);
  }
};

// What one open of a PCM tells of it.
struct PcmFacts {
  // Its input configurations, or a negative errno.
  std::expected<std::vector<SupportedStreamConfigRange>, int> ranges;
  // The names of the channels of its default configuration from the map the
  // PCM offers for it, as far as it names them; none when it offers no map
  // before its hardware parameters are set.
  std::optional<std::vector<std::optional<std::string>>> names;
};

// Shared by the host and its devices, and used from the caller's thread only;
// the call threads touch nothing but their own call states.
class BoundedPcmOpener {
 public:
  using Clock = std::chrono::steady_clock;
  using FactsReader = std::function<PcmFacts(const std::string& pcm)>;

  // Every call waits until `budget` at most; `read` opens a PCM and reads
  // its facts, on a call's thread.
  BoundedPcmOpener(Deadline budget, FactsReader read) : budget_(budget), read_(std::move(read)) {}

  // Runs `work` (which opens `pcm` and returns a T) until the deadline at
  // most. A PCM that is still stuck in an earlier call fails at once: it has
  // had its chance. So does every PCM once the deadline has passed.
  //
  // It does not wait for the probes of start_probes() first: a capture must
  // not wait for PCMs that stall. PCMs of one sound card (hw: and plughw:)
  // cannot be open at once, though, so a call that fails while probes still
  // run is asked again once they are done.
  template <class T, class Work>
  std::expected<T, NoAnswer> ask(const std::string& pcm, Work work) {
    auto answer = ask_once<T>(pcm, work);
    if (answer && failed(*answer) && probes_running()) {
      wait_for_probes();
      answer = ask_once<T>(pcm, work);
    }
    return answer;
  }

  // Forgets what earlier probes told and starts reading the facts of every
  // PCM in `pcms` at once, side by side: however many PCMs stall, a walk
  // over all of them waits until the deadline once, not once per PCM.
  void start_probes(const std::vector<std::string>& pcms);

  // The facts of `pcm`: its probe's answer, or a call's of its own when it
  // had no probe, or when its probe failed (a sound card that another probe
  // held at that moment answers busy, so only a probe's success or silence is
  // taken at its word). An answer is kept until the next start_probes().
  std::expected<PcmFacts, NoAnswer> facts(const std::string& pcm);

 private:
  struct Probe {
    std::string pcm;
    std::optional<BoundedCall<PcmFacts>> call;
  };

  template <class T, class Work>
  std::expected<T, NoAnswer> ask_once(const std::string& pcm, const Work& work) {
    if (stuck(pcm) || budget_.passed()) return std::unexpected(NoAnswer::deadline_passed());
    auto started = BoundedCall<T>::start(work);
    if (!started) return std::unexpected(NoAnswer::thread_not_started(started.error()));
    return finish(pcm, *started);
  }

  // Whether an answer says the PCM could not be used: an error, or nothing.
  static bool failed(const PcmFacts& answer) { return !answer.ranges.has_value(); }
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
  std::expected<T, NoAnswer> finish(const std::string& pcm, BoundedCall<T>& call) {
    if (!call.wait_until(budget_.at())) {
      call.abandon();
      stuck_.emplace_back(pcm, call.watch());
      return std::unexpected(NoAnswer::deadline_passed());
    }
    auto value = call.take();
    if (!value)
      return std::unexpected(NoAnswer::deadline_passed());  // taken already: cannot happen
    return std::move(*value);
  }

  bool stuck(const std::string& pcm);
  // Until the deadline at most; a probe still running then is left stuck.
  void wait_for_probes();

  const Deadline budget_;
  const FactsReader read_;
  std::vector<Probe> probes_;
  std::map<std::string, PcmFacts> known_;
  std::vector<std::pair<std::string, CallWatch>> stuck_;
};

}  // namespace kestravo::audio::alsa
