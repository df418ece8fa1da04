// The simulated host's scenario: the devices it pretends to have and how
// each one behaves, read from a JSON file. Only this module reads JSON.
//
// A scenario that cannot be used is the test harness's failure, not the
// tool's, so parsing reports a reason (naming the key or position at fault)
// and the host turns it into exit status 2 before anything else happens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/audio.h"

namespace kestravo::audio::sim {

// An error a scenario assigns to an operation: one of the fixed cases, or
// the backend-specific case with its description.
struct ScriptedError {
  ErrorKind kind = ErrorKind::BackendSpecific;
  std::string description;

  template <class E>
  E to() const {
    return kind == ErrorKind::BackendSpecific ? E::backend(description) : E::of(kind);
  }
  friend bool operator==(const ScriptedError&, const ScriptedError&) = default;
};

// One channel name entry. No text: the name cannot be read.
struct ChannelNameEntry {
  std::optional<std::string> text;
  // Only obtainable by copying into a 256-byte buffer, so a name longer
  // than 255 bytes cannot be read.
  bool copy_only = false;
  friend bool operator==(const ChannelNameEntry&, const ChannelNameEntry&) = default;
};

// One raw sample of an explicit buffer, as written in the scenario. Which
// values are valid depends on the stream's sample format.
struct RawSample {
  enum class Kind : std::uint8_t { Integer, Real, NaN, Inf, NegInf };
  Kind kind = Kind::Integer;
  std::int64_t integer = 0;  // Kind::Integer
  double real = 0;           // Kind::Real
  friend bool operator==(const RawSample&, const RawSample&) = default;
};

struct SignalScript {
  enum class Kind : std::uint8_t { Sine, Silence, Noise };
  Kind kind = Kind::Sine;
  double frequency = 440;
  double amplitude = 0.25;
  std::uint64_t seed = 0;
  friend bool operator==(const SignalScript&, const SignalScript&) = default;
};

struct StreamErrorScript {
  std::uint64_t after_buffers = 0;
  std::string text;
  friend bool operator==(const StreamErrorScript&, const StreamErrorScript&) = default;
};

struct DisconnectScript {
  std::uint64_t after_buffers = 0;
  std::uint64_t notifications = 1;
  friend bool operator==(const DisconnectScript&, const DisconnectScript&) = default;
};

struct StreamScript {
  std::uint32_t buffer_frames = 480;
  // None: the duration of one buffer at the stream's rate.
  std::optional<double> interval_ms;
  std::vector<std::vector<RawSample>> buffers;
  SignalScript signal;
  std::optional<std::uint64_t> max_buffers;
  // In the order the scenario lists them.
  std::vector<StreamErrorScript> stream_errors;
  std::optional<DisconnectScript> disconnect;
  bool runs_after_release = true;
  friend bool operator==(const StreamScript&, const StreamScript&) = default;
};

enum class RateSwitch : std::uint8_t { Ok, Timeout, ListenerDisconnected };

struct DeviceScript {
  std::optional<std::string> name;
  std::optional<std::string> name_error;
  std::vector<SupportedStreamConfigRange> configs;
  std::optional<ScriptedError> configs_error;
  std::uint64_t configs_fail_after = 0;
  std::optional<SupportedStreamConfig> default_config;
  std::uint32_t nominal_rate = 0;                                        // defaults already applied
  std::vector<std::pair<std::uint32_t, std::uint32_t>> available_rates;  // likewise
  RateSwitch rate_switch = RateSwitch::Ok;
  bool findable = true;
  std::vector<ChannelNameEntry> channel_names;
  std::optional<ScriptedError> build_error;
  std::optional<ScriptedError> play_error;
  // How long building the stream takes once its thread delivers: the ready
  // record comes this much later, after the PCM of that time.
  double ready_delay_ms = 0;
  StreamScript stream;
  friend bool operator==(const DeviceScript&, const DeviceScript&) = default;
};

struct Scenario {
  std::vector<DeviceScript> devices;
  std::optional<std::string> enumeration_error;
  friend bool operator==(const Scenario&, const Scenario&) = default;
};

// The largest scenario document read. Real scenarios are far below it;
// beyond it a file is a broken scenario, never a machine out of memory.
inline constexpr std::size_t kMaxScenarioBytes = std::size_t{64} << 20;

// Parses a scenario document; the error is the reason, such as
// `devices[0].configs[1].format: unknown sample format "I24"`.
std::expected<Scenario, std::string> parse_scenario(std::string_view json);

// The scenario used when none is named, and its JSON text.
Scenario default_scenario();
std::string_view default_scenario_json();

// The scenario of the file at `path`; an empty path gives the default one.
std::expected<Scenario, std::string> load_scenario(std::string_view path);

// Whether every sample of `buffers` is a raw sample of `format` (I16, U16 or
// F32); otherwise the position and reason, relative to the buffers list,
// such as `[0][3]: 40000 is not an I16 sample`.
std::optional<std::string> check_buffers(const std::vector<std::vector<RawSample>>& buffers,
                                         SampleFormat format);

}  // namespace kestravo::audio::sim
