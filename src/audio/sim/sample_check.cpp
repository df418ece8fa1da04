// Whether explicit buffers hold raw samples of a stream's format.
#include <cmath>
#include <limits>
#include <string>

#include "audio/sim/json_document.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

std::optional<std::string> check_buffers(const std::vector<std::vector<RawSample>>& buffers,
                                         SampleFormat format) {
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    for (std::size_t k = 0; k < buffers[i].size(); ++k) {
      const RawSample& s = buffers[i][k];
      bool fits = false;
      std::string shown;
      switch (s.kind) {
        case RawSample::Kind::Integer:
          shown = std::to_string(s.integer);
          fits = format == SampleFormat::F32 ||
                 (format == SampleFormat::I16 && s.integer >= -32768 && s.integer <= 32767) ||
                 (format == SampleFormat::U16 && s.integer >= 0 && s.integer <= 65535);
          break;
        case RawSample::Kind::Real:
          shown = json(s.real).dump();
          fits =
              format == SampleFormat::F32 && std::abs(s.real) <= std::numeric_limits<float>::max();
          break;
        case RawSample::Kind::NaN:
          shown = "\"nan\"";
          fits = format == SampleFormat::F32;
          break;
        case RawSample::Kind::Inf:
          shown = "\"inf\"";
          fits = format == SampleFormat::F32;
          break;
        case RawSample::Kind::NegInf:
          shown = "\"-inf\"";
          fits = format == SampleFormat::F32;
          break;
      }
      if (!fits) {
        return "[" + std::to_string(i) + "][" + std::to_string(k) + "]: " + shown +
               " is not a sample of format " + std::string(sample_format_name(format));
      }
    }
  }
  return std::nullopt;
}

}  // namespace kestravo::audio::sim
