#include "audio/channel_positions.h"

#include <array>
#include <iterator>

namespace kestravo::audio {

namespace {

constexpr std::array<std::string_view, kLastAlsaPosition + 1> kNamed = {
    "Unknown",
    "Unused",
    "Mono",
    "Front Left",
    "Front Right",
    "Rear Left",
    "Rear Right",
    "Front Center",
    "LFE",
    "Side Left",
    "Side Right",
    "Rear Center",
    "Front Left Center",
    "Front Right Center",
    "Rear Left Center",
    "Rear Right Center",
    "Front Left Wide",
    "Front Right Wide",
    "Front Left High",
    "Front Center High",
    "Front Right High",
    "Top Center",
    "Top Front Left",
    "Top Front Right",
    "Top Front Center",
    "Top Rear Left",
    "Top Rear Right",
    "Top Rear Center",
    "Top Front Left Center",
    "Top Front Right Center",
    "Top Side Left",
    "Top Side Right",
    "Left LFE",
    "Right LFE",
    "Bottom Center",
    "Bottom Left Center",
    "Bottom Right Center",
};

constexpr std::array<std::string_view, 64> kAux = {
    "Aux 0",  "Aux 1",  "Aux 2",  "Aux 3",  "Aux 4",  "Aux 5",  "Aux 6",  "Aux 7",
    "Aux 8",  "Aux 9",  "Aux 10", "Aux 11", "Aux 12", "Aux 13", "Aux 14", "Aux 15",
    "Aux 16", "Aux 17", "Aux 18", "Aux 19", "Aux 20", "Aux 21", "Aux 22", "Aux 23",
    "Aux 24", "Aux 25", "Aux 26", "Aux 27", "Aux 28", "Aux 29", "Aux 30", "Aux 31",
    "Aux 32", "Aux 33", "Aux 34", "Aux 35", "Aux 36", "Aux 37", "Aux 38", "Aux 39",
    "Aux 40", "Aux 41", "Aux 42", "Aux 43", "Aux 44", "Aux 45", "Aux 46", "Aux 47",
    "Aux 48", "Aux 49", "Aux 50", "Aux 51", "Aux 52", "Aux 53", "Aux 54", "Aux 55",
    "Aux 56", "Aux 57", "Aux 58", "Aux 59", "Aux 60", "Aux 61", "Aux 62", "Aux 63",
};

}  // namespace

std::string_view channel_position_name(ChannelPosition position) {
  const auto value = static_cast<unsigned>(position);
  if (value < kNamed.size()) return kNamed[value];
  const unsigned aux = value - static_cast<unsigned>(ChannelPosition::Aux0);
  return aux < kAux.size() ? kAux[aux] : std::string_view{};
}

std::optional<ChannelPosition> channel_position_from_alsa(unsigned value) {
  if (value > kLastAlsaPosition) return std::nullopt;
  return static_cast<ChannelPosition>(value);
}

std::optional<ChannelPosition> channel_position_from_windows(std::uint32_t speaker_bit) {
  using P = ChannelPosition;
  // In bit order, from SPEAKER_FRONT_LEFT (bit 0) to SPEAKER_TOP_BACK_RIGHT
  // (bit 17).
  static constexpr P kBits[] = {
      P::FrontLeft,     P::FrontRight,     P::FrontCenter,     P::Lfe,
      P::RearLeft,      P::RearRight,      P::FrontLeftCenter, P::FrontRightCenter,
      P::RearCenter,    P::SideLeft,       P::SideRight,       P::TopCenter,
      P::TopFrontLeft,  P::TopFrontCenter, P::TopFrontRight,   P::TopRearLeft,
      P::TopRearCenter, P::TopRearRight,
  };
  for (std::size_t bit = 0; bit < std::size(kBits); ++bit) {
    if (speaker_bit == std::uint32_t{1} << bit) return kBits[bit];
  }
  return std::nullopt;
}

std::vector<ChannelPosition> channel_positions_from_windows_mask(std::uint32_t mask) {
  std::vector<ChannelPosition> positions;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if (const auto position = channel_position_from_windows(mask & (std::uint32_t{1} << bit))) {
      positions.push_back(*position);
    }
  }
  return positions;
}

}  // namespace kestravo::audio
