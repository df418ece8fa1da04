#include "audio/alsa/pcm_calls.h"

#include <algorithm>

namespace kestravo::audio::alsa {

void PcmCalls::start_batch() {
  settle();
  probes_.clear();
  ++batch_;
  deadline_ = Clock::now() + kAnswerDeadline;
}

PcmCalls::ProbeId PcmCalls::probe(const std::string& pcm, const RangesProbe& probe) {
  auto call = BoundedCall<Ranges>::start([pcm, probe] { return probe(pcm); });
  probes_.push_back(Probe{pcm, call ? std::optional(std::move(*call)) : std::nullopt});
  return ProbeId{batch_, probes_.size() - 1};
}

std::optional<std::expected<PcmCalls::Ranges, NoAnswer>> PcmCalls::take_probe(ProbeId id) {
  if (id.batch != batch_ || id.index >= probes_.size()) return std::nullopt;
  Probe& probe = probes_[id.index];
  if (!probe.call) return std::nullopt;
  BoundedCall<Ranges> call = std::move(*probe.call);
  probe.call.reset();
  return finish(probe.pcm, call, deadline_);
}

bool PcmCalls::stuck(const std::string& pcm) {
  std::erase_if(stuck_, [](const auto& entry) { return entry.second.returned(); });
  return std::ranges::any_of(stuck_, [&](const auto& entry) { return entry.first == pcm; });
}

void PcmCalls::settle() {
  for (auto& probe : probes_) {
    if (probe.call && !probe.call->wait_until(deadline_)) {
      probe.call->abandon();
      stuck_.emplace_back(probe.pcm, probe.call->watch());
      probe.call.reset();
    }
  }
}

}  // namespace kestravo::audio::alsa
