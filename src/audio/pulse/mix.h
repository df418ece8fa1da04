// Mixing an application's streams into one: pure bookkeeping, no server.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace kestravo::audio::pulse {

// Adds the float samples at `from` (the server's memory, aligned or not) to
// `into`, one for one. Nothing clips here: the conversion to the PCM clips
// a sum beyond full scale as it clips any float source.
inline void mix_into(std::span<float> into, const char* from) {
  for (float& sample : into) {
    float value = 0;
    std::memcpy(&value, from, sizeof value);
    sample += value;
    from += sizeof value;
  }
}

// One stream's place in a mix of float frames of `Channels` channels, which
// its blocks are added to one after another, from frame 0 of each turn on:
// streams that deliver alike stay in step, and none waits for another.
template <std::size_t Channels>
class MixCursor {
 public:
  static constexpr std::size_t kFrameBytes = Channels * sizeof(float);

  // Adds a block of `n` bytes to `mix` (bytes of float frames, its storage
  // aligned for float); a piece of a frame at its end waits for the next
  // block. New room is silence; once `mix` has the capacity a turn needs,
  // nothing allocates.
  void add(std::vector<char>& mix, const char* bytes, std::size_t n) {
    if (part_bytes_ != 0) {
      const std::size_t k = std::min(kFrameBytes - part_bytes_, n);
      std::memcpy(part_.data() + part_bytes_, bytes, k);
      part_bytes_ += k;
      bytes += k;
      n -= k;
      if (part_bytes_ < kFrameBytes) return;
      add_frames(mix, part_.data(), 1);
      part_bytes_ = 0;
    }
    add_frames(mix, bytes, n / kFrameBytes);
    part_bytes_ = n % kFrameBytes;
    std::memcpy(part_.data(), bytes + n - part_bytes_, part_bytes_);
  }

  // The turn's mix was handed on: the next block starts a new one.
  void restart() { frame_ = 0; }

 private:
  void add_frames(std::vector<char>& mix, const char* bytes, std::size_t frames) {
    const std::size_t end = (frame_ + frames) * kFrameBytes;
    if (mix.size() < end) mix.resize(end, '\0');
    auto* samples = static_cast<float*>(static_cast<void*>(mix.data()));
    mix_into(std::span<float>(samples + frame_ * Channels, frames * Channels), bytes);
    frame_ += frames;
  }

  std::size_t frame_ = 0;
  std::array<char, kFrameBytes> part_{};
  std::size_t part_bytes_ = 0;
};

}  // namespace kestravo::audio::pulse
