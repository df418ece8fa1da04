// Whether explicit buffers hold raw samples of a stream's format.
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "audio/callback_formats.h"
#include "audio/sim/json_document.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

namespace {

// Whether a sample of type `Sample` holds `s` as written: floating-point
// samples take any finite number in range and the non-finite ones, integer
// samples only the integers of their range.
template <class Sample>
bool holds(const RawSample& s) {
  if constexpr (std::is_floating_point_v<Sample>) {
    return s.kind != RawSample::Kind::Real ||
           std::abs(s.real) <= std::numeric_limits<Sample>::max();
  } else {
    return s.kind == RawSample::Kind::Integer && std::in_range<Sample>(s.integer);
  }
}

std::string shown(const RawSample& s) {
  switch (s.kind) {
    case RawSample::Kind::Integer:
      return std::to_string(s.integer);
    case RawSample::Kind::Real:
      return json(s.real).dump();
    case RawSample::Kind::NaN:
      return "\"nan\"";
    case RawSample::Kind::Inf:
      return "\"inf\"";
    case RawSample::Kind::NegInf:
      return "\"-inf\"";
  }
  return {};
}

}  // namespace

std::optional<std::string> check_buffers(const std::vector<std::vector<RawSample>>& buffers,
                                         SampleFormat format) {
  using Check = bool (*)(const RawSample&);
  // A format no callback takes holds no sample at all.
  const Check fits = with_callback_sample(format, [](auto element) -> Check {
                       return &holds<typename decltype(element)::type>;
                     }).value_or([](const RawSample&) { return false; });
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    for (std::size_t k = 0; k < buffers[i].size(); ++k) {
      if (!fits(buffers[i][k])) {
        // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
        // the temporaries of "[" + ... chains.
        std::string where = "[";
        where += std::to_string(i);
        where += "][";
        where += std::to_string(k);
        where += "]: ";
        return where + shown(buffers[i][k]) + " is not a sample of format " +
               std::string(sample_format_name(format));
      }
    }
  }
  return std::nullopt;
}

}  // namespace kestravo::audio::sim
