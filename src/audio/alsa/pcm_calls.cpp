#include "audio/alsa/pcm_calls.h"

#include <algorithm>

namespace kestravo::audio::alsa {

void PcmCalls::start_probes(const std::vector<std::string>& pcms) {
  settle();
  probes_.clear();
  known_.clear();
  for (const auto& pcm : pcms) {
    // A PCM that cannot be probed now (no thread, or still stuck) is asked
    // when its facts are wanted.
    if (stuck(pcm) || budget_.passed()) continue;
    auto call = BoundedCall<PcmFacts>::start([pcm, read = read_] { return read(pcm); });
    if (call) probes_.push_back(Probe{pcm, std::move(*call)});
  }
}

std::expected<PcmFacts, NoAnswer> PcmCalls::facts(const std::string& pcm) {
  if (const auto known = known_.find(pcm); known != known_.end()) return known->second;
  std::optional<std::expected<PcmFacts, NoAnswer>> answer;
  const auto probe = std::ranges::find_if(
      probes_, [&](const Probe& p) { return p.pcm == pcm && p.call.has_value(); });
  if (probe != probes_.end()) {
    BoundedCall<PcmFacts> call = std::move(*probe->call);
    probe->call.reset();
    answer = finish(pcm, call);
    if (*answer && failed(**answer)) answer.reset();
  }
  if (!answer) answer = ask<PcmFacts>(pcm, [pcm, read = read_] { return read(pcm); });
  if (*answer) known_.insert_or_assign(pcm, **answer);
  return std::move(*answer);
}

bool PcmCalls::stuck(const std::string& pcm) {
  std::erase_if(stuck_, [](const auto& entry) { return entry.second.returned(); });
  return std::ranges::any_of(stuck_, [&](const auto& entry) { return entry.first == pcm; });
}

bool PcmCalls::probes_running() const {
  return std::ranges::any_of(
      probes_, [](const Probe& probe) { return probe.call && !probe.call->watch().returned(); });
}

void PcmCalls::settle() {
  for (auto& pending : probes_) {
    if (pending.call && !pending.call->wait_until(budget_.at())) {
      pending.call->abandon();
      stuck_.emplace_back(pending.pcm, pending.call->watch());
      pending.call.reset();
    }
  }
}

}  // namespace kestravo::audio::alsa
