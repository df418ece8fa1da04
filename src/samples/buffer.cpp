#include "samples/buffer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <string_view>

namespace kestravo::samples {

namespace {

// Entry f of the column of device channel `channel`: the sample at
// f * channel_count + channel, or 0 past the end of the buffer (which only a
// channel at or above the channel count can reach).
std::int16_t column_sample(std::span<const std::int16_t> samples, std::size_t channel_count,
                           std::size_t channel, std::size_t frame) {
  const std::size_t position = frame * channel_count + channel;
  return position < samples.size() ? samples[position] : std::int16_t{0};
}

// The sample as it stands on the wire: little-endian, whatever the machine.
std::uint16_t wire(std::int16_t sample) {
  const auto bits = static_cast<std::uint16_t>(sample);
  if constexpr (std::endian::native == std::endian::little) return bits;
  return std::byteswap(bits);
}

// Interleaves the selected columns of `frames` whole frames into `out`, in
// wire order: frames * selected.size() samples. `out` is deliberately not a
// char pointer: char stores may alias anything, which would make the compiler
// reload the indices after every sample.
void encode_block(std::span<const std::int16_t> samples, std::size_t channel_count,
                  std::span<const std::size_t> selected, std::size_t frames, std::uint16_t* out) {
  const bool all_inside =
      std::all_of(selected.begin(), selected.end(),
                  [channel_count](std::size_t channel) { return channel < channel_count; });
  if (all_inside) {
    const std::int16_t* frame = samples.data();
    if (selected.size() == 1) {
      const std::size_t channel = selected[0];
      for (std::size_t f = 0; f < frames; ++f, frame += channel_count)
        *out++ = wire(frame[channel]);
      return;
    }
    for (std::size_t f = 0; f < frames; ++f, frame += channel_count) {
      for (const std::size_t channel : selected) *out++ = wire(frame[channel]);
    }
    return;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    for (const std::size_t channel : selected) {
      *out++ = wire(column_sample(samples, channel_count, channel, f));
    }
  }
}

// Whether the selection is 0, 1, ..., channel_count - 1 on a machine whose
// samples are already in wire order.
bool every_channel_in_order(std::span<const std::size_t> selected, std::size_t channel_count) {
  if (std::endian::native != std::endian::little || selected.size() != channel_count) return false;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (selected[i] != i) return false;
  }
  return true;
}

}  // namespace

status::LevelsRecord compute_levels(std::span<const std::int16_t> samples,
                                    std::size_t channel_count,
                                    std::span<const std::size_t> selected) {
  const std::size_t frames = channel_count == 0 ? 0 : samples.size() / channel_count;
  status::LevelsRecord levels;
  levels.rms.reserve(selected.size());
  levels.peak.reserve(selected.size());
  constexpr double kScale = 1.0 / 32768.0;  // exact: a power of two
  for (const std::size_t channel : selected) {
    // Summed strictly in sample order: the exact bits of the result depend
    // on it.
    double sum = 0.0;
    for (std::size_t f = 0; f < frames; ++f) {
      const double x = column_sample(samples, channel_count, channel, f) * kScale;
      sum += x * x;
    }
    levels.rms.push_back(std::sqrt(sum / static_cast<double>(std::max<std::size_t>(frames, 1))));
  }
  for (const std::size_t channel : selected) {
    double peak = 0.0;
    for (std::size_t f = 0; f < frames; ++f) {
      peak = std::max(peak, std::abs(column_sample(samples, channel_count, channel, f) * kScale));
    }
    levels.peak.push_back(peak);
  }
  return levels;
}

void process_buffer(std::span<const std::int16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks) {
  if (channel_count == 0 || samples.size() < channel_count) return;
  const std::size_t frames = samples.size() / channel_count;

  const std::size_t count = frames * selected.size();
  const std::size_t frame_bytes = selected.size() * sizeof(std::int16_t);
  // The whole block at once, in whole frames: a process that ends while the
  // block waits for a slow reader ends the PCM on a frame. The descriptor is
  // unbuffered, so this is also the flush. A failure (the reader has gone)
  // loses this block only.
  if (every_channel_in_order(selected, channel_count)) {
    // The whole frames are the block already: no copy, which at 32 channels
    // of an unpaced device costs as much as the pipe.
    sinks.pcm.write_units(std::string_view(reinterpret_cast<const char*>(samples.data()),
                                           count * sizeof(std::int16_t)),
                          frame_bytes);
  } else {
    // Not zero-filled: encode_block writes every sample.
    const auto block = std::make_unique_for_overwrite<std::uint16_t[]>(count);
    encode_block(samples, channel_count, selected, frames, block.get());
    sinks.pcm.write_units(
        std::string_view(reinterpret_cast<const char*>(block.get()), count * sizeof(std::uint16_t)),
        frame_bytes);
  }

  std::lock_guard lock(clock.mutex);
  if (clock.now() - clock.last < kLevelsInterval) return;
  // A fresh reading, taken after the PCM write: the next record is due
  // kLevelsInterval after this one is made, not after the buffer arrived.
  clock.last = clock.now();
  // Offered, not written: a parent that does not drain standard error loses
  // levels records, never audio.
  sinks.status.offer(status::encode_line(compute_levels(samples, channel_count, selected)));
}

}  // namespace kestravo::samples
