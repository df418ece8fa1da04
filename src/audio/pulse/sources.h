// What the listing shows of a sound server's sources, worked out from plain
// values so that it can be tested without a server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio.h"
#include "audio/channel_positions.h"

namespace kestravo::audio::pulse {

// One source as the server describes it, plus the name it is listed by.
struct Source {
  std::uint32_t index = 0;
  std::string name;  // the server's own name: unique, stable across restarts
  std::string description;
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  SampleFormat format = SampleFormat::F32;
  // The server's channel map (pa_channel_position_t values), which a record
  // stream asks for so that no server remixes anything.
  std::vector<int> map;
  bool monitor = false;
  std::string monitor_of_sink;  // the sink's name, for a monitor
  std::string listed_name;      // set by arrange_sources
};

// The sources in listing order, each with its listed name: the default
// source first, then the other sources that are not monitors, then the
// monitors (the default sink's first), each group by index. A description
// that several sources share becomes "description (source name)" for each
// of them, so the names neither collide nor depend on which device was
// plugged in first; a source without a description is listed by its name.
std::vector<Source> arrange_sources(std::vector<Source> sources, std::string_view default_source,
                                    std::string_view default_sink);

// The shared position of a pa_channel_position_t value; none for positions
// without a name (invalid ones).
std::optional<ChannelPosition> position_from_pulse(int position);

}  // namespace kestravo::audio::pulse
