#include "audio/alsa/bounded_pcm_opener.h"

#include <algorithm>

namespace kestravo::audio::alsa {

void BoundedPcmOpener::start_probes(const std::vector<std::string>& pcms) {
  wait_for_probes();
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

std::expected<PcmFacts, NoAnswer> BoundedPcmOpener::facts(const std::string& pcm) {
  if (const auto known = known_.find(pcm); known != known_.end()) return known->second;
  const auto keep = [&](std::expected<PcmFacts, NoAnswer> answer) {
    if (answer) known_.insert_or_assign(pcm, *answer);
    return answer;
  };
  const auto probe = std::ranges::find_if(
      probes_, [&](const Probe& p) { return p.pcm == pcm && p.call.has_value(); });
  if (probe != probes_.end()) {
    if (auto& slot = probe->call) {
      BoundedCall<PcmFacts> call = std::move(*slot);
      slot.reset();
      auto probed = finish(pcm, call);
      if (!probed || !failed(*probed)) return keep(std::move(probed));
    }
  }
  return keep(ask<PcmFacts>(pcm, [pcm, read = read_] { return read(pcm); }));
}

bool BoundedPcmOpener::stuck(const std::string& pcm) {
  std::erase_if(stuck_, [](const auto& entry) { return entry.second.returned(); });
  return std::ranges::any_of(stuck_, [&](const auto& entry) { return entry.first == pcm; });
}

bool BoundedPcmOpener::probes_running() const {
  return std::ranges::any_of(
      probes_, [](const Probe& probe) { return probe.call && !probe.call->watch().returned(); });
}

void BoundedPcmOpener::wait_for_probes() {
  for (auto& pending : probes_) {
    if (pending.call && !pending.call->wait_until(budget_.at())) {
      pending.call->abandon();
      stuck_.emplace_back(pending.pcm, pending.call->watch());
      pending.call.reset();
    }
  }
}

}  // namespace kestravo::audio::alsa
