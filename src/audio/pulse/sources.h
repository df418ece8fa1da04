// What the listing shows of a sound server's sources, worked out from plain
// values so that it can be tested without a server.
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
  Follow follow = Follow::None;
  // For the monitor of the default output: the monitor it starts on.
  // pipewire-pulse does not know "@DEFAULT_MONITOR@" and records the
  // default source under that name.
  std::string start_on;
  // For one application's sound: the application, as application_of names
  // it. Such a device is no source of the server's: it records each of the
  // application's streams on its sink's monitor and mixes them.
  std::string application;
};

// The following devices have one layout whatever device they follow: a
// capture cannot change its frames midway, while the default can change
// any time. The server converts each device into it.
inline constexpr std::uint16_t kFollowChannels = 2;
inline constexpr std::uint32_t kFollowRate = 48000;

// An application's sound has one layout whatever its streams play: the
// server converts each of them into it.
inline constexpr std::uint16_t kApplicationChannels = 2;
inline constexpr std::uint32_t kApplicationRate = 48000;

// A stream that plays into a sink, as the server describes it.
struct SinkInput {
  std::uint32_t index = 0;
  std::uint32_t sink = 0;
  // Whether a client of the server plays it. A module's stream (a loopback
  // of the microphone, a combined sink's) is no application's.
  bool from_client = false;
  std::string application;  // as application_of names it
};

// The applications that play now, each once, in the order their first
// stream began.
std::vector<std::string> playing_applications(std::span<const SinkInput> streams);

// The device that carries `application`'s sound.
Source application_source(std::string application);

// The sources in listing order, each with its listed name, after the two
// following devices: "Default Input" (while the server has a default
// source) and "Monitor of Default Output" (while the default sink has a
// monitor), by the rules every host names devices by, the sources of each
// group by index, and then the `applications` that play, in their order. A
// source without a description is listed by its name.
std::vector<Source> arrange_sources(std::vector<Source> sources, std::string_view default_source,
                                    std::string_view default_sink,
                                    std::span<const std::string> applications = {});

// The source as the naming rules see it (not marked as a default).
Offered offered(const Source& source);

// Whether a following stream now on `current` (none: not known) is where it
// belongs, on `target`. With nothing to follow (no target: no default device
// at all) it is not; otherwise only a monitor's stream can be misplaced: any
// source is an input, but a source that is not the monitor of the default
// output carries a microphone, not what the computer plays.
bool follows_in_place(Follow follow, std::string_view target, const char* current);

// The shared position of a pa_channel_position_t value; none for positions
// without a name (invalid ones).
std::optional<ChannelPosition> position_from_pulse(int position);

}  // namespace kestravo::audio::pulse
