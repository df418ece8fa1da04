#include "audio/sim/signal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace kestravo::audio::sim {

float to_f32(double v) { return static_cast<float>(v); }

std::int16_t to_i16(double v) {
  const double scaled = std::round(v * 32767.0);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::uint16_t to_u16(double v) { return static_cast<std::uint16_t>(to_i16(v) + 32768); }

template <>
float from_raw<float>(const RawSample& raw) {
  switch (raw.kind) {
    case RawSample::Kind::Integer:
      return static_cast<float>(raw.integer);
    case RawSample::Kind::Real:
      return static_cast<float>(raw.real);
    case RawSample::Kind::NaN:
      return std::numeric_limits<float>::quiet_NaN();
    case RawSample::Kind::Inf:
      return std::numeric_limits<float>::infinity();
    case RawSample::Kind::NegInf:
      return -std::numeric_limits<float>::infinity();
  }
  return 0;
}

template <>
std::int16_t from_raw<std::int16_t>(const RawSample& raw) {
  return static_cast<std::int16_t>(raw.integer);
}

template <>
std::uint16_t from_raw<std::uint16_t>(const RawSample& raw) {
  return static_cast<std::uint16_t>(raw.integer);
}

SignalGenerator::SignalGenerator(const SignalScript& script, std::uint32_t sample_rate,
                                 std::uint16_t channels)
    : script_(script), rate_(sample_rate), channels_(channels), noise_state_(script.seed) {}

double SignalGenerator::value(std::uint16_t channel) {
  switch (script_.kind) {
    case SignalScript::Kind::Silence:
      return 0;
    case SignalScript::Kind::Sine: {
      if (rate_ == 0) return 0;
      // Reduce to one period before scaling so that the phase keeps its
      // precision however long the stream runs.
      const double cycles =
          std::fmod(script_.frequency * (channel + 1.0) * static_cast<double>(frame_), rate_) /
          rate_;
      return script_.amplitude * std::sin(2 * std::numbers::pi * cycles);
    }
    case SignalScript::Kind::Noise: {
      // splitmix64: the same seed gives the same noise on every machine.
      std::uint64_t z = (noise_state_ += 0x9e3779b97f4a7c15u);
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
      z ^= z >> 31;
      const double unit = static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
      return script_.amplitude * (2 * unit - 1);
    }
  }
  return 0;
}

template <class Sample>
void SignalGenerator::fill(std::span<Sample> out) {
  if (channels_ == 0) return;
  for (std::size_t i = 0; i + channels_ <= out.size(); i += channels_) {
    for (std::uint16_t c = 0; c < channels_; ++c) {
      const double v = value(c);
      if constexpr (std::is_same_v<Sample, float>) {
        out[i + c] = to_f32(v);
      } else if constexpr (std::is_same_v<Sample, std::int16_t>) {
        out[i + c] = to_i16(v);
      } else {
        out[i + c] = to_u16(v);
      }
    }
    next_frame();
  }
}

template void SignalGenerator::fill<float>(std::span<float>);
template void SignalGenerator::fill<std::int16_t>(std::span<std::int16_t>);
template void SignalGenerator::fill<std::uint16_t>(std::span<std::uint16_t>);

}  // namespace kestravo::audio::sim
