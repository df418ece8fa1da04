// Which of an application's output ports feed which channel of a stereo
// capture. Pure: the ports are given by their channel positions.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestravo::audio::pipewire {

// The capture's channels a port feeds, as bits.
inline constexpr std::uint8_t kToLeft = 1;
inline constexpr std::uint8_t kToRight = 2;

// For one node's output ports, by their audio.channel in port order: what
// each feeds. A mono node (one port, or a MONO position) feeds both
// channels; a node with the front pair feeds FL left and FR right and
// nothing else (rear, centre and LFE stay out); a node without either
// position (AUX0, AUX1, ...) feeds its first two ports as the pair.
std::vector<std::uint8_t> route_to_stereo(std::span<const std::string_view> channels);

}  // namespace kestravo::audio::pipewire
