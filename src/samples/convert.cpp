#include "samples/convert.h"

#include <cstddef>

namespace kestravo::samples {

void convert(std::span<const float> in, std::span<std::int16_t> out) {
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = f32_to_i16(in[i]);
}

void convert(std::span<const std::uint16_t> in, std::span<std::int16_t> out) {
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = u16_to_i16(in[i]);
}

}  // namespace kestravo::samples
