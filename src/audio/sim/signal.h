// What a simulated stream delivers: generated signals and the conversion
// of explicit scenario samples to the stream's element type.
#pragma once

#include <cstdint>
#include <span>

#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

// A signal value v (nominally -1 to 1) as each element type carries it:
// v itself as f32, round(v * 32767) as i16, that plus 32768 as u16.
float to_f32(double v);
std::int16_t to_i16(double v);
std::uint16_t to_u16(double v);

// A raw scenario sample already known to fit the type (check_buffers).
template <class Sample>
Sample from_raw(const RawSample& raw);

// Produces a signal frame after frame, continuing across buffers.
class SignalGenerator {
 public:
  SignalGenerator(const SignalScript& script, std::uint32_t sample_rate, std::uint16_t channels);

  // Fills `out` with the next frames (interleaved; its size a multiple of
  // the channel count).
  template <class Sample>
  void fill(std::span<Sample> out);

  // The value of channel `channel` in the next frame; call it for each
  // channel in order, then next_frame().
  double value(std::uint16_t channel);
  void next_frame() { ++frame_; }

 private:
  SignalScript script_;
  std::uint32_t rate_;
  std::uint16_t channels_;
  std::uint64_t frame_ = 0;
  std::uint64_t noise_state_;
};

}  // namespace kestravo::audio::sim
