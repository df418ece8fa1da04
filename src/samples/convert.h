// Conversion of the device's sample formats to the signed 16-bit samples
// the PCM stream carries.
#pragma once

#include <cmath>
#include <cstdint>

namespace kestravo::samples {

// Clamps to -1.0 .. 1.0, scales by 32767 (not 32768, so -1.0 gives -32767)
// in single precision and truncates toward zero; NaN becomes 0.
inline std::int16_t f32_to_i16(float value) {
  // Scaling first and clamping the product to +-32767 gives the same result
  // for every input (rounding is monotonic, so a value beyond +-1 scales to
  // at least 32767 in magnitude, infinities included), and written as
  // selects it lets a loop of conversions vectorise. NaN scales to NaN and
  // is replaced before the clamps, which then see only ordered values.
  float scaled = value * 32767.0f;
  scaled = std::isnan(scaled) ? 0.0f : scaled;
  // In the operand order of the processors' max and min instructions.
  scaled = scaled > -32767.0f ? scaled : -32767.0f;
  scaled = scaled < 32767.0f ? scaled : 32767.0f;
  return static_cast<std::int16_t>(static_cast<std::int32_t>(scaled));
}

// Offset binary to two's complement: 0 -> -32768, 32768 -> 0, 65535 -> 32767.
inline std::int16_t u16_to_i16(std::uint16_t value) {
  return static_cast<std::int16_t>(static_cast<std::int32_t>(value) - 32768);
}

// The conversion of each element type a stream can deliver.
inline std::int16_t to_i16(float value) { return f32_to_i16(value); }
inline std::int16_t to_i16(std::uint16_t value) { return u16_to_i16(value); }
inline std::int16_t to_i16(std::int16_t value) { return value; }

}  // namespace kestravo::samples
