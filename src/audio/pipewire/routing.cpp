#include "audio/pipewire/routing.h"

#include <algorithm>

namespace kestravo::audio::pipewire {

std::vector<std::uint8_t> route_to_stereo(std::span<const std::string_view> channels) {
  std::vector<std::uint8_t> routes(channels.size(), 0);
  if (channels.size() == 1) {
    routes[0] = kToLeft | kToRight;
    return routes;
  }
  const bool front_pair = std::ranges::any_of(
      channels, [](std::string_view c) { return c == "FL" || c == "FR" || c == "MONO"; });
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const auto c = channels[i];
    if (c == "MONO") {
      routes[i] = kToLeft | kToRight;
    } else if (front_pair) {
      routes[i] = c == "FL" ? kToLeft : c == "FR" ? kToRight : 0;
    } else if (i < 2) {
      routes[i] = i == 0 ? kToLeft : kToRight;
    }
  }
  return routes;
}

}  // namespace kestravo::audio::pipewire
