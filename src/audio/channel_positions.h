// The English names of speaker positions, one table for every host, so the
// same position reads the same in a listing whatever host produced it. The
// names are ALSA's long names (ALSA's hosts printed them first); the
// positions only a sound server has, its auxiliary channels, follow them.
// Never translated: a name must not change with the user's locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestravo::audio {

// ALSA's positions, in ALSA's order and with its values (UNKNOWN = 0 ...
// BRC = 36), then the 64 auxiliary positions (PipeWire has 64,
// PulseAudio 32).
enum class ChannelPosition : std::uint8_t {
  Unknown,
  Unused,
  Mono,
  FrontLeft,
  FrontRight,
  RearLeft,
  RearRight,
  FrontCenter,
  Lfe,
  SideLeft,
  SideRight,
  RearCenter,
  FrontLeftCenter,
  FrontRightCenter,
  RearLeftCenter,
  RearRightCenter,
  FrontLeftWide,
  FrontRightWide,
  FrontLeftHigh,
  FrontCenterHigh,
  FrontRightHigh,
  TopCenter,
  TopFrontLeft,
  TopFrontRight,
  TopFrontCenter,
  TopRearLeft,
  TopRearRight,
  TopRearCenter,
  TopFrontLeftCenter,
  TopFrontRightCenter,
  TopSideLeft,
  TopSideRight,
  LeftLfe,
  RightLfe,
  BottomCenter,
  BottomLeftCenter,
  BottomRightCenter,
  Aux0,
  // Aux1 ... Aux63 follow Aux0 without names of their own.
  AuxLast = Aux0 + 63,
};

// The last of ALSA's positions.
inline constexpr unsigned kLastAlsaPosition =
    static_cast<unsigned>(ChannelPosition::BottomRightCenter);

// "Front Left", "LFE", "Aux 7", ...
std::string_view channel_position_name(ChannelPosition position);

// The position with ALSA's value `value`, or none past ALSA's last one.
std::optional<ChannelPosition> channel_position_from_alsa(unsigned value);

// The position of one of Windows' speaker bits (SPEAKER_FRONT_LEFT = 0x1 ...
// SPEAKER_TOP_BACK_RIGHT = 0x20000, as in a WAVEFORMATEXTENSIBLE's
// dwChannelMask); none for any other value. Windows' "back" is ALSA's
// "rear".
std::optional<ChannelPosition> channel_position_from_windows(std::uint32_t speaker_bit);

// The positions of a channel mask's bits, lowest first: the order of the
// channels in a stream of that mask.
std::vector<ChannelPosition> channel_positions_from_windows_mask(std::uint32_t mask);

}  // namespace kestravo::audio
