// What the listing shows of PipeWire's sources and sinks, worked out from
// plain values so that it can be tested without a daemon. The names and
// their order are those the sound server's protocol shows on the same
// daemon, so that a name stored from either listing finds the same device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio.h"
#include "audio/channel_positions.h"
#include "audio/device_names.h"

namespace kestravo::audio::pipewire {

// A source or sink node as the registry describes it.
struct NodeInfo {
  std::uint64_t serial = 0;  // object.serial: the order in which nodes came
  std::string name;          // node.name
  std::string description;
  bool source = false;
  bool sink = false;         // its monitor is listed
  std::uint32_t format = 0;  // spa_audio_format of its own format
  std::uint32_t rate = 0;
  std::vector<std::uint32_t> positions;  // spa_audio_channel, one per channel
};

// What a listed device captures.
struct Capture {
  enum class Kind : std::uint8_t {
    Node,         // a source's output ports, or a sink's monitor ports
    Follow,       // those of the desktop's default source or sink, as it changes
    Application,  // every node an application plays, linked by us
  };
  Kind kind = Kind::Node;
  Offered offered;
  std::string listed_name;
  std::string node;          // the node's name; for an application, the application
  std::uint64_t serial = 0;  // the node's
  bool monitor = false;      // a sink's monitor ports
  std::vector<std::uint32_t> positions;
  SampleFormat format = SampleFormat::F32;
  std::uint32_t rate = 0;
};

// The following devices have one layout whatever device they follow, as on
// the sound-server host: the daemon converts each device into it.
inline constexpr std::uint32_t kFollowRate = 48000;
// One application's sound: stereo at this rate, whatever it plays.
inline constexpr std::uint32_t kApplicationRate = 48000;

// The devices in listing order, each with its listed name: "Default Input"
// (while the default source is there), "Monitor of Default Output" (while
// the default sink is), the sources, the sinks' monitors ("Monitor of
// {description}"), each group in the order its nodes came, then the
// `applications` that play, in their order.
std::vector<Capture> arrange_devices(std::vector<NodeInfo> nodes, std::string_view default_source,
                                     std::string_view default_sink,
                                     std::span<const std::string> applications = {});

// The device one application's sound is, listed or not.
Capture application_capture(std::string application);

// The shared position of a spa_audio_channel value; none for positions
// without a name.
std::optional<ChannelPosition> position_from_spa(std::uint32_t position);

// The sample format a capture of a device asks for: its own where the tool
// takes it as it is (16 bits), else F32, which loses nothing of any format.
SampleFormat format_from_spa(std::uint32_t format);

}  // namespace kestravo::audio::pipewire
