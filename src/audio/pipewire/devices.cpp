#include "audio/pipewire/devices.h"

#include <spa/param/audio/raw.h>

#include <algorithm>
#include <utility>

namespace kestravo::audio::pipewire {

namespace {

Capture follower(Follow follow) {
  const bool input = follow == Follow::DefaultInput;
  Capture c;
  c.kind = Capture::Kind::Follow;
  c.offered = {.key = std::string(input ? kDefaultInputKey : kDefaultOutputKey),
               .plain = std::string(input ? kDefaultInputName : kDefaultOutputName),
               .group = input ? Group::Input : Group::Output,
               .follow = follow,
               .is_default = false};
  c.monitor = !input;
  c.positions = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
  // Most devices are 16-bit, which then pass unchanged.
  c.format = SampleFormat::I16;
  c.rate = kFollowRate;
  return c;
}

Capture of_node(const NodeInfo& node, bool monitor, bool is_default) {
  Capture c;
  c.kind = Capture::Kind::Node;
  const std::string& description = node.description.empty() ? node.name : node.description;
  c.offered = {.key = monitor ? node.name + ".monitor" : node.name,
               .plain = monitor ? "Monitor of " + description : description,
               .group = monitor ? Group::Output : Group::Input,
               .follow = Follow::None,
               .is_default = is_default};
  c.node = node.name;
  c.serial = node.serial;
  c.monitor = monitor;
  c.positions = node.positions;
  c.format = format_from_spa(node.format);
  c.rate = node.rate != 0 ? node.rate : kFollowRate;
  return c;
}

}  // namespace

Capture application_capture(std::string application) {
  Capture c;
  c.kind = Capture::Kind::Application;
  c.offered = {.key = application,
               .plain = application_device_name(application),
               .group = Group::Application,
               .follow = Follow::None,
               .is_default = false};
  c.listed_name = *c.offered.plain;
  c.node = std::move(application);
  c.positions = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
  c.format = SampleFormat::F32;
  c.rate = kApplicationRate;
  return c;
}

std::vector<Capture> arrange_devices(std::vector<NodeInfo> nodes, std::string_view default_source,
                                     std::string_view default_sink,
                                     std::span<const std::string> applications) {
  std::ranges::stable_sort(nodes, {}, &NodeInfo::serial);
  std::vector<Capture> devices;
  const auto named = [&](std::string_view name, bool NodeInfo::*kind) {
    return !name.empty() &&
           std::ranges::any_of(nodes, [&](const NodeInfo& n) { return n.*kind && n.name == name; });
  };
  if (named(default_source, &NodeInfo::source)) devices.push_back(follower(Follow::DefaultInput));
  if (named(default_sink, &NodeInfo::sink)) devices.push_back(follower(Follow::DefaultOutput));
  for (const auto& node : nodes) {
    if (node.source) devices.push_back(of_node(node, false, node.name == default_source));
    if (node.sink) devices.push_back(of_node(node, true, node.name == default_sink));
  }
  for (const auto& application : applications) devices.push_back(application_capture(application));

  std::vector<Offered> offered;
  offered.reserve(devices.size());
  for (const auto& d : devices) offered.push_back(d.offered);
  std::vector<Capture> arranged;
  arranged.reserve(devices.size());
  for (auto& listed : list_offered(offered)) {
    arranged.push_back(std::move(devices[listed.offered]));
    arranged.back().listed_name = std::move(listed.name);
  }
  return arranged;
}

std::optional<ChannelPosition> position_from_spa(std::uint32_t position) {
  using P = ChannelPosition;
  if (position >= SPA_AUDIO_CHANNEL_AUX0 && position <= SPA_AUDIO_CHANNEL_AUX63) {
    return static_cast<P>(static_cast<unsigned>(P::Aux0) + (position - SPA_AUDIO_CHANNEL_AUX0));
  }
  switch (position) {
    case SPA_AUDIO_CHANNEL_MONO:
      return P::Mono;
    case SPA_AUDIO_CHANNEL_FL:
      return P::FrontLeft;
    case SPA_AUDIO_CHANNEL_FR:
      return P::FrontRight;
    case SPA_AUDIO_CHANNEL_FC:
      return P::FrontCenter;
    case SPA_AUDIO_CHANNEL_LFE:
      return P::Lfe;
    case SPA_AUDIO_CHANNEL_SL:
      return P::SideLeft;
    case SPA_AUDIO_CHANNEL_SR:
      return P::SideRight;
    case SPA_AUDIO_CHANNEL_FLC:
      return P::FrontLeftCenter;
    case SPA_AUDIO_CHANNEL_FRC:
      return P::FrontRightCenter;
    case SPA_AUDIO_CHANNEL_RC:
      return P::RearCenter;
    case SPA_AUDIO_CHANNEL_RL:
      return P::RearLeft;
    case SPA_AUDIO_CHANNEL_RR:
      return P::RearRight;
    case SPA_AUDIO_CHANNEL_TC:
      return P::TopCenter;
    case SPA_AUDIO_CHANNEL_TFL:
      return P::TopFrontLeft;
    case SPA_AUDIO_CHANNEL_TFC:
      return P::TopFrontCenter;
    case SPA_AUDIO_CHANNEL_TFR:
      return P::TopFrontRight;
    case SPA_AUDIO_CHANNEL_TRL:
      return P::TopRearLeft;
    case SPA_AUDIO_CHANNEL_TRC:
      return P::TopRearCenter;
    case SPA_AUDIO_CHANNEL_TRR:
      return P::TopRearRight;
    default:
      return std::nullopt;
  }
}

SampleFormat format_from_spa(std::uint32_t format) {
  return format == SPA_AUDIO_FORMAT_S16_LE || format == SPA_AUDIO_FORMAT_S16P ? SampleFormat::I16
                                                                              : SampleFormat::F32;
}

}  // namespace kestravo::audio::pipewire
