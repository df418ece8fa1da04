#include "audio/pulse/sources.h"

#include <pulse/channelmap.h>

#include <algorithm>
#include <utility>

namespace kestravo::audio::pulse {

namespace {

Source follower(Follow follow) {
  const bool input = follow == Follow::DefaultInput;
  Source s;
  s.index = 0;
  s.name = input ? kDefaultInputKey : kDefaultOutputKey;
  s.description = input ? kDefaultInputName : kDefaultOutputName;
  s.channels = kFollowChannels;
  s.rate = kFollowRate;
  // Most sources are 16-bit, which then pass unchanged.
  s.format = SampleFormat::I16;
  s.map = {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT};
  s.monitor = !input;
  s.follow = follow;
  return s;
}

}  // namespace

std::vector<std::string> playing_applications(std::span<const SinkInput> streams) {
  std::vector<const SinkInput*> ordered;
  for (const auto& s : streams) {
    if (s.from_client) ordered.push_back(&s);
  }
  std::ranges::stable_sort(ordered, {}, &SinkInput::index);
  std::vector<std::string> applications;
  for (const auto* s : ordered) {
    if (std::ranges::find(applications, s->application) == applications.end()) {
      applications.push_back(s->application);
    }
  }
  return applications;
}

Source application_source(std::string application) {
  Source s;
  s.description = application_device_name(application);
  s.name = s.description;
  s.channels = kApplicationChannels;
  s.rate = kApplicationRate;
  // Mixed as float: only the conversion to the PCM clips, as for any source.
  s.format = SampleFormat::F32;
  s.map = {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT};
  s.application = std::move(application);
  return s;
}

std::vector<Source> arrange_sources(std::vector<Source> sources, std::string_view default_source,
                                    std::string_view default_sink,
                                    std::span<const std::string> applications) {
  const bool have_source = std::ranges::any_of(sources, [&](const Source& s) {
    return !default_source.empty() && s.name == default_source;
  });
  const auto monitor = std::ranges::find_if(sources, [&](const Source& s) {
    return s.monitor && !default_sink.empty() && s.monitor_of_sink == default_sink;
  });
  const std::string monitor_name = monitor != sources.end() ? monitor->name : std::string();
  if (have_source) sources.push_back(follower(Follow::DefaultInput));
  if (!monitor_name.empty()) {
    sources.push_back(follower(Follow::DefaultOutput));
    sources.back().start_on = monitor_name;
  }
  std::ranges::stable_sort(sources, {}, &Source::index);
  for (const auto& application : applications) sources.push_back(application_source(application));

  std::vector<Offered> devices;
  for (const auto& s : sources) {
    devices.push_back(offered(s));
    if (s.follow != Follow::None || !s.application.empty()) continue;
    // A monitor made the default source is listed as the default input.
    if (s.name == default_source) {
      devices.back().group = Group::Input;
      devices.back().is_default = true;
    } else {
      devices.back().is_default = s.monitor && s.monitor_of_sink == default_sink;
    }
  }
  std::vector<Source> arranged;
  for (auto& listed : list_offered(devices)) {
    arranged.push_back(std::move(sources[listed.offered]));
    arranged.back().listed_name = std::move(listed.name);
  }
  return arranged;
}

Offered offered(const Source& source) {
  if (!source.application.empty()) {
    return {.key = source.application,
            .plain = source.description,
            .group = Group::Application,
            .follow = Follow::None,
            .is_default = false};
  }
  return {.key = source.name,
          .plain = source.description.empty() ? source.name : source.description,
          .group = source.monitor ? Group::Output : Group::Input,
          .follow = source.follow,
          .is_default = false};
}

bool follows_in_place(Follow follow, std::string_view target, const char* current) {
  if (target.empty()) return false;
  if (follow != Follow::DefaultOutput) return true;
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
