#include "audio/alsa/pcm_calls.h"

#include <algorithm>

namespace kestravo::audio::alsa {

void PcmCalls::start_batch() {
  settle();
  probes_.clear();
  ++batch_;
  deadline_ = Clock::now() + kAnswerDeadline;
}

PcmCalls::ProbeId PcmCalls::start_probe(const std::string& pcm, const RangesProbe& work) {
  auto call = BoundedCall<Ranges>::start([pcm, work] { return work(pcm); });
  probes_.push_back(Probe{pcm, call ? std::optional(std::move(*call)) : std::nullopt});
  return ProbeId{batch_, probes_.size() - 1};
}

std::optional<std::expected<PcmCalls::Ranges, NoAnswer>> PcmCalls::take_probe(ProbeId id) {
  if (id.batch != batch_ || id.index >= probes_.size()) return std::nullopt;
  Probe& taken = probes_[id.index];
  if (!taken.call) return std::nullopt;
  BoundedCall<Ranges> call = std::move(*taken.call);
  taken.call.reset();
  return finish(taken.pcm, call, deadline_);
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
    if (pending.call && !pending.call->wait_until(deadline_)) {
      pending.call->abandon();
      stuck_.emplace_back(pending.pcm, pending.call->watch());
      pending.call.reset();
    }
  }
}

}  // namespace kestravo::audio::alsa
