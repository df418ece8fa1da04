// The scenario used when none is named.
#include <string_view>

#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

namespace {

constexpr std::string_view kDefaultScenario = R"({
  "devices": [
    {
      "name": "Simulated Microphone",
      "configs": [{"channels": 2, "min_rate": 44100, "max_rate": 48000, "format": "F32"}],
      "default_config": {"channels": 2, "rate": 48000, "format": "F32"},
      "available_rates": [[44100, 44100], [48000, 48000]],
      "channel_names": ["Left", "Right"],
      "stream": {"signal": {"kind": "sine", "frequency": 440, "amplitude": 0.25}}
    },
    {
      "name": "Simulated Line In",
      "configs": [{"channels": 8, "min_rate": 48000, "max_rate": 48000, "format": "I16"}],
      "default_config": {"channels": 8, "rate": 48000, "format": "I16"},
      "channel_names": ["In 1", "In 2", "In 3", "In 4", "In 5", "In 6", "In 7", "In 8"],
      "stream": {"signal": {"kind": "sine"}}
    },
    {
      "name": "Simulated Speakers"
    }
  ]
}
)";

}  // namespace

std::string_view default_scenario_json() { return kDefaultScenario; }

Scenario default_scenario() {
  // The built-in text is covered by a test; it cannot fail here.
  return parse_scenario(kDefaultScenario).value_or(Scenario{});
}

}  // namespace kestravo::audio::sim
