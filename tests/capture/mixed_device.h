// The device of several edge cases of choosing a stream: 2 channels at
// 44100-48000 Hz (F32), then 4 channels at exactly 48000 Hz (I16) and at
// exactly 96000 Hz (U16). The same ranges serve the unit tests directly and
// the end-to-end tests as the "configs" of a scenario.
#pragma once

#include <string>
#include <vector>

#include "audio/audio.h"

namespace kestravo::testing {

inline std::vector<audio::SupportedStreamConfigRange> mixed_ranges() {
  using audio::SampleFormat;
  return {{2, 44100, 48000, {}, SampleFormat::F32},
          {4, 48000, 48000, {}, SampleFormat::I16},
          {4, 96000, 96000, {}, SampleFormat::U16}};
}

// The ranges as the key "configs" of a scenario's device (without braces).
inline std::string mixed_configs_json() {
  std::string json = R"("configs":[)";
  for (const auto& r : mixed_ranges()) {
    if (json.back() != '[') json += ',';
    json += R"({"channels":)" + std::to_string(r.channels) + R"(,"min_rate":)" +
            std::to_string(r.min_sample_rate) + R"(,"max_rate":)" +
            std::to_string(r.max_sample_rate) + R"(,"format":")" +
            std::string(audio::sample_format_name(r.sample_format)) + "\"}";
  }
  return json + "]";
}

}  // namespace kestravo::testing
