#include "audio/pulse/sources.h"

#include <pulse/channelmap.h>

#include <algorithm>
#include <tuple>

#include "audio/device_names.h"
#include "text/utf8.h"

namespace kestravo::audio::pulse {

namespace {

Source follower(std::string name, std::string description, Follow follow) {
  Source s;
  s.index = 0;
  s.name = std::move(name);
  s.description = std::move(description);
  s.channels = kFollowChannels;
  s.rate = kFollowRate;
  // Most sources are 16-bit, which then pass unchanged.
  s.format = SampleFormat::I16;
  s.map = {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT};
  s.monitor = follow == Follow::DefaultMonitor;
  s.follow = follow;
  return s;
}

}  // namespace

std::vector<Source> arrange_sources(std::vector<Source> sources, std::string_view default_source,
                                    std::string_view default_sink) {
  const bool have_source = std::ranges::any_of(sources, [&](const Source& s) {
    return !default_source.empty() && s.name == default_source;
  });
  const auto monitor = std::ranges::find_if(sources, [&](const Source& s) {
    return s.monitor && !default_sink.empty() && s.monitor_of_sink == default_sink;
  });
  const std::string monitor_name = monitor != sources.end() ? monitor->name : std::string();
  if (have_source) {
    sources.push_back(
        follower(std::string(kDefaultSourceName), "Default Input", Follow::DefaultSource));
  }
  if (!monitor_name.empty()) {
    sources.push_back(follower(std::string(kDefaultMonitorName), "Monitor of Default Output",
                               Follow::DefaultMonitor));
    sources.back().start_on = monitor_name;
  }

  const auto rank = [&](const Source& s) {
    if (s.follow == Follow::DefaultSource) return 0;
    if (s.name == default_source) return 1;
    if (!s.monitor) return 2;
    if (s.follow == Follow::DefaultMonitor) return 3;
    return s.monitor_of_sink == default_sink ? 4 : 5;
  };
  std::ranges::stable_sort(sources, [&](const Source& a, const Source& b) {
    return std::tuple(rank(a), a.index) < std::tuple(rank(b), b.index);
  });

  std::vector<std::string> names;
  std::vector<std::string> keys;
  for (const auto& s : sources) {
    names.push_back(utf8_lossy(s.description.empty() ? s.name : s.description));
    keys.push_back(s.name);
  }
  part_shared_names(names, keys);
  for (std::size_t i = 0; i < sources.size(); ++i) sources[i].listed_name = std::move(names[i]);
  return sources;
}

std::vector<std::string> other_names(const Source& source) {
  std::vector<std::string> names = {source.name};
  if (!source.description.empty()) {
    names.push_back(source.description);
    names.push_back(source.description + " (" + source.name + ")");
  }
  if (source.follow == Follow::DefaultSource) names.emplace_back("default");
  return names;
}

bool follows_in_place(Follow follow, std::string_view target, const char* current) {
  if (target.empty()) return false;
  if (follow != Follow::DefaultMonitor) return true;
  return current != nullptr && target == current;
}

std::optional<ChannelPosition> position_from_pulse(int position) {
  using P = ChannelPosition;
  if (position >= PA_CHANNEL_POSITION_AUX0 && position <= PA_CHANNEL_POSITION_AUX31) {
    return static_cast<P>(static_cast<int>(P::Aux0) + (position - PA_CHANNEL_POSITION_AUX0));
  }
  switch (position) {
    case PA_CHANNEL_POSITION_MONO:
      return P::Mono;
    case PA_CHANNEL_POSITION_FRONT_LEFT:
      return P::FrontLeft;
    case PA_CHANNEL_POSITION_FRONT_RIGHT:
      return P::FrontRight;
    case PA_CHANNEL_POSITION_FRONT_CENTER:
      return P::FrontCenter;
    case PA_CHANNEL_POSITION_REAR_CENTER:
      return P::RearCenter;
    case PA_CHANNEL_POSITION_REAR_LEFT:
      return P::RearLeft;
    case PA_CHANNEL_POSITION_REAR_RIGHT:
      return P::RearRight;
    case PA_CHANNEL_POSITION_LFE:
      return P::Lfe;
    case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
      return P::FrontLeftCenter;
    case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
      return P::FrontRightCenter;
    case PA_CHANNEL_POSITION_SIDE_LEFT:
      return P::SideLeft;
    case PA_CHANNEL_POSITION_SIDE_RIGHT:
      return P::SideRight;
    case PA_CHANNEL_POSITION_TOP_CENTER:
      return P::TopCenter;
    case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
      return P::TopFrontLeft;
    case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
      return P::TopFrontRight;
    case PA_CHANNEL_POSITION_TOP_FRONT_CENTER:
      return P::TopFrontCenter;
    case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
      return P::TopRearLeft;
    case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
      return P::TopRearRight;
    case PA_CHANNEL_POSITION_TOP_REAR_CENTER:
      return P::TopRearCenter;
    default:
      return std::nullopt;
  }
}

}  // namespace kestravo::audio::pulse
