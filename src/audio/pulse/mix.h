// Mixing an application's streams into one.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

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

}  // namespace kestravo::audio::pulse
