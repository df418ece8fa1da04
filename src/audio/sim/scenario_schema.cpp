// The scenario's schema: which keys each object takes, their types and
// ranges, and the defaults of what a scenario leaves out.
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <utility>

#include "audio/callback_formats.h"
#include "audio/sim/json_document.h"
#include "audio/sim/json_reader.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

namespace {

// Frames per generated buffer beyond which a buffer stops being a test
// fixture and starts being a way to exhaust memory.
constexpr std::uint64_t kMaxBufferFrames = 1u << 20;
// Each device costs about a kilobyte, in the scenario, the host and a listing.
constexpr std::size_t kMaxDevices = std::size_t{1} << 18;

constexpr std::uint64_t kU16 = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();

SupportedStreamConfigRange parse_range(Reader& r, const json& value, const std::string& path) {
  SupportedStreamConfigRange range;
  if (!r.object(value, path, {"channels", "min_rate", "max_rate", "format"})) return range;
  if (auto v = r.member(value, path, "channels", true)) {
    range.channels = static_cast<std::uint16_t>(
        r.integer(*v, Reader::join(path, "channels"), 0, kU16).value_or(0));
  }
  if (auto v = r.member(value, path, "min_rate", true)) {
    range.min_sample_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "min_rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "max_rate", true)) {
    range.max_sample_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "max_rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "format", true)) {
    range.sample_format = r.format(*v, Reader::join(path, "format")).value_or(SampleFormat::F32);
  }
  return range;
}

SupportedStreamConfig parse_default_config(Reader& r, const json& value, const std::string& path) {
  SupportedStreamConfig config;
  if (!r.object(value, path, {"channels", "rate", "format"})) return config;
  if (auto v = r.member(value, path, "channels", true)) {
    config.channels = static_cast<std::uint16_t>(
        r.integer(*v, Reader::join(path, "channels"), 0, kU16).value_or(0));
  }
  if (auto v = r.member(value, path, "rate", true)) {
    config.sample_rate =
        static_cast<std::uint32_t>(r.integer(*v, Reader::join(path, "rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "format", true)) {
    config.sample_format = r.format(*v, Reader::join(path, "format")).value_or(SampleFormat::F32);
  }
  return config;
}

ChannelNameEntry parse_channel_name(Reader& r, const json& value, const std::string& path) {
  if (value.is_null()) return {};
  if (value.is_object() && !value.contains("hex")) {
    ChannelNameEntry entry;
    if (!r.object(value, path, {"name", "copy_only"})) return entry;
    if (auto v = r.member(value, path, "name", true))
      entry.text = r.text(*v, Reader::join(path, "name"));
    if (auto v = r.member(value, path, "copy_only")) {
      entry.copy_only = r.boolean(*v, Reader::join(path, "copy_only")).value_or(false);
    }
    return entry;
  }
  if (!value.is_string() && !value.is_object()) {
    r.fail(path,
           "must be a text, null or {\"name\": text, \"copy_only\": true}, not " + describe(value));
    return {};
  }
  return ChannelNameEntry{r.text(value, path), false};
}

RawSample parse_sample(Reader& r, const json& value, const std::string& path) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      r.fail(path, describe(value) + " is out of range");
      return {};
    }
    return RawSample{RawSample::Kind::Integer, value.get<std::int64_t>(), 0};
  }
  if (value.is_number_float()) return RawSample{RawSample::Kind::Real, 0, value.get<double>()};
  if (value.is_string()) {
    const auto s = value.get<std::string>();
    if (s == "nan") return RawSample{RawSample::Kind::NaN, 0, 0};
    if (s == "inf") return RawSample{RawSample::Kind::Inf, 0, 0};
    if (s == "-inf") return RawSample{RawSample::Kind::NegInf, 0, 0};
  }
  r.fail(path, "must be a number, \"nan\", \"inf\" or \"-inf\", not " + describe(value));
  return {};
}

SignalScript parse_signal(Reader& r, const json& value, const std::string& path) {
  SignalScript signal;
  if (!r.object(value, path, {"kind", "frequency", "amplitude", "seed"})) return signal;
  const json* kind = r.member(value, path, "kind", true);
  if (kind == nullptr) return signal;
  const auto kind_path = Reader::join(path, "kind");
  if (*kind == "sine") {
    signal.kind = SignalScript::Kind::Sine;
    r.object(value, path, {"kind", "frequency", "amplitude"});
  } else if (*kind == "silence") {
    signal.kind = SignalScript::Kind::Silence;
    r.object(value, path, {"kind"});
  } else if (*kind == "noise") {
    signal.kind = SignalScript::Kind::Noise;
    r.object(value, path, {"kind", "amplitude", "seed"});
  } else {
    r.fail(kind_path, "must be \"sine\", \"silence\" or \"noise\", not " + describe(*kind));
    return signal;
  }
  if (auto v = r.member(value, path, "frequency")) {
    signal.frequency =
        r.number(*v, Reader::join(path, "frequency"), 0, std::numeric_limits<double>::max())
            .value_or(0);
  }
  if (auto v = r.member(value, path, "amplitude")) {
    signal.amplitude = r.number(*v, Reader::join(path, "amplitude"), 0, 1).value_or(0);
  }
  if (auto v = r.member(value, path, "seed")) {
    signal.seed = r.integer(*v, Reader::join(path, "seed"), 0, kU64).value_or(0);
  }
  return signal;
}

StreamScript parse_stream(Reader& r, const json& value, const std::string& path) {
  StreamScript stream;
  if (!r.object(value, path,
                {"buffer_frames", "interval_ms", "buffers", "signal", "max_buffers",
                 "stream_errors", "disconnect", "runs_after_release"})) {
    return stream;
  }
  if (auto v = r.member(value, path, "buffer_frames")) {
    stream.buffer_frames = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "buffer_frames"), 1, kMaxBufferFrames).value_or(1));
  }
  if (auto v = r.member(value, path, "interval_ms")) {
    stream.interval_ms =
        r.number(*v, Reader::join(path, "interval_ms"), 0, std::numeric_limits<double>::max());
  }
  if (auto buffers = r.array(value, path, "buffers")) {
    const auto buffers_path = Reader::join(path, "buffers");
    for (std::size_t i = 0; i < buffers->size() && r.ok(); ++i) {
      const auto& buffer = (*buffers)[i];
      const auto buffer_path = Reader::index(buffers_path, i);
      if (!buffer.is_array()) {
        r.fail(buffer_path, "must be an array of samples, not " + describe(buffer));
        break;
      }
      auto& samples = stream.buffers.emplace_back();
      for (std::size_t k = 0; k < buffer.size() && r.ok(); ++k) {
        samples.push_back(parse_sample(r, buffer[k], Reader::index(buffer_path, k)));
      }
    }
  }
  if (auto v = r.member(value, path, "signal")) {
    stream.signal = parse_signal(r, *v, Reader::join(path, "signal"));
  }
  if (auto v = r.member(value, path, "max_buffers")) {
    stream.max_buffers = r.integer(*v, Reader::join(path, "max_buffers"), 0, kU64);
  }
  if (auto errors = r.array(value, path, "stream_errors")) {
    const auto errors_path = Reader::join(path, "stream_errors");
    for (std::size_t i = 0; i < errors->size() && r.ok(); ++i) {
      const auto& entry = (*errors)[i];
      const auto entry_path = Reader::index(errors_path, i);
      if (!r.object(entry, entry_path, {"after_buffers", "text"})) break;
      StreamErrorScript error;
      if (auto v = r.member(entry, entry_path, "after_buffers", true)) {
        error.after_buffers =
            r.integer(*v, Reader::join(entry_path, "after_buffers"), 0, kU64).value_or(0);
      }
      if (auto v = r.member(entry, entry_path, "text", true)) {
        error.text = r.text(*v, Reader::join(entry_path, "text")).value_or("");
      }
      stream.stream_errors.push_back(std::move(error));
    }
  }
  if (auto v = r.member(value, path, "disconnect")) {
    const auto disconnect_path = Reader::join(path, "disconnect");
    if (r.object(*v, disconnect_path, {"after_buffers", "notifications"})) {
      DisconnectScript disconnect;
      if (auto n = r.member(*v, disconnect_path, "after_buffers", true)) {
        disconnect.after_buffers =
            r.integer(*n, Reader::join(disconnect_path, "after_buffers"), 0, kU64).value_or(0);
      }
      if (auto n = r.member(*v, disconnect_path, "notifications")) {
        disconnect.notifications =
            r.integer(*n, Reader::join(disconnect_path, "notifications"), 0, kU64).value_or(0);
      }
      stream.disconnect = disconnect;
    }
  }
  if (auto v = r.member(value, path, "runs_after_release")) {
    stream.runs_after_release =
        r.boolean(*v, Reader::join(path, "runs_after_release")).value_or(true);
  }
  return stream;
}

DeviceScript parse_device(Reader& r, const json& value, const std::string& path) {
  DeviceScript device;
  if (!r.object(value, path,
                {"name", "name_error", "configs", "configs_error", "configs_fail_after",
                 "default_config", "nominal_rate", "available_rates", "rate_switch", "findable",
                 "channel_names", "build_error", "play_error", "ready_delay_ms", "stream"})) {
    return device;
  }
  if (auto v = r.member(value, path, "name")) device.name = r.text(*v, Reader::join(path, "name"));
  if (auto v = r.member(value, path, "name_error")) {
    device.name_error = r.text(*v, Reader::join(path, "name_error"));
  }
  if (r.ok() && !device.name && !device.name_error) {
    r.fail(Reader::join(path, "name"), "missing (required unless name_error is given)");
  }
  if (auto configs = r.array(value, path, "configs")) {
    for (std::size_t i = 0; i < configs->size() && r.ok(); ++i) {
      device.configs.push_back(
          parse_range(r, (*configs)[i], Reader::index(Reader::join(path, "configs"), i)));
    }
  }
  if (auto v = r.member(value, path, "configs_error")) {
    device.configs_error =
        r.error(*v, Reader::join(path, "configs_error"), &SupportedStreamConfigsError::has);
  }
  if (auto v = r.member(value, path, "configs_fail_after")) {
    device.configs_fail_after =
        r.integer(*v, Reader::join(path, "configs_fail_after"), 0, kU64).value_or(0);
  }
  if (auto v = r.member(value, path, "default_config")) {
    device.default_config = parse_default_config(r, *v, Reader::join(path, "default_config"));
  }
  if (auto v = r.member(value, path, "nominal_rate")) {
    device.nominal_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "nominal_rate"), 0, kU32).value_or(0));
  } else if (device.default_config) {
    device.nominal_rate = device.default_config->sample_rate;
  } else if (!device.configs.empty()) {
    device.nominal_rate = device.configs.front().max_sample_rate;
  }
  if (auto rates = r.array(value, path, "available_rates")) {
    const auto rates_path = Reader::join(path, "available_rates");
    for (std::size_t i = 0; i < rates->size() && r.ok(); ++i) {
      const auto& pair = (*rates)[i];
      const auto pair_path = Reader::index(rates_path, i);
      if (!pair.is_array() || pair.size() != 2) {
        r.fail(pair_path, "must be [min, max], not " + describe(pair));
        break;
      }
      const auto min = r.integer(pair[0], Reader::index(pair_path, 0), 0, kU32).value_or(0);
      const auto max = r.integer(pair[1], Reader::index(pair_path, 1), 0, kU32).value_or(0);
      device.available_rates.emplace_back(static_cast<std::uint32_t>(min),
                                          static_cast<std::uint32_t>(max));
    }
  } else {
    for (const auto& range : device.configs) {
      device.available_rates.emplace_back(range.min_sample_rate, range.max_sample_rate);
    }
  }
  if (auto v = r.member(value, path, "rate_switch")) {
    if (*v == "ok") {
      device.rate_switch = RateSwitch::Ok;
    } else if (*v == "timeout") {
      device.rate_switch = RateSwitch::Timeout;
    } else if (*v == "listener_disconnected") {
      device.rate_switch = RateSwitch::ListenerDisconnected;
    } else {
      r.fail(Reader::join(path, "rate_switch"),
             "must be \"ok\", \"timeout\" or \"listener_disconnected\", not " + describe(*v));
    }
  }
  if (auto v = r.member(value, path, "findable")) {
    device.findable = r.boolean(*v, Reader::join(path, "findable")).value_or(true);
  }
  if (auto names = r.array(value, path, "channel_names")) {
    for (std::size_t i = 0; i < names->size() && r.ok(); ++i) {
      device.channel_names.push_back(parse_channel_name(
          r, (*names)[i], Reader::index(Reader::join(path, "channel_names"), i)));
    }
  }
  if (auto v = r.member(value, path, "build_error")) {
    device.build_error = r.error(*v, Reader::join(path, "build_error"), &BuildStreamError::has);
  }
  if (auto v = r.member(value, path, "play_error")) {
    device.play_error = r.error(*v, Reader::join(path, "play_error"), &PlayStreamError::has);
  }
  if (auto v = r.member(value, path, "ready_delay_ms")) {
    device.ready_delay_ms =
        r.number(*v, Reader::join(path, "ready_delay_ms"), 0, std::numeric_limits<double>::max())
            .value_or(0);
  }
  if (auto v = r.member(value, path, "stream")) {
    device.stream = parse_stream(r, *v, Reader::join(path, "stream"));
  }

  // Explicit buffers are raw samples of the stream's format, which is known
  // only when the stream is built. When the device offers a single format
  // the capture can open, check them now, so the mistake shows whatever
  // the command.
  if (r.ok() && !device.stream.buffers.empty()) {
    std::set<SampleFormat> formats;
    for (const auto& range : device.configs) {
      if (decodable(range.sample_format)) formats.insert(range.sample_format);
    }
    if (device.default_config && decodable(device.default_config->sample_format)) {
      formats.insert(device.default_config->sample_format);
    }
    if (formats.size() == 1) {
      if (auto problem = check_buffers(device.stream.buffers, *formats.begin())) {
        r.fail_with(Reader::join(path, "stream.buffers") + *problem);
      }
    }
  }
  return device;
}

}  // namespace

std::expected<Scenario, std::string> parse_scenario(std::string_view text) {
  if (text.size() > kMaxScenarioBytes) {
    return std::unexpected("more than " + std::to_string(kMaxScenarioBytes >> 20) +
                           " MiB, the reader's limit");
  }
  auto document = read_json_document(text);
  if (!document) return std::unexpected(std::move(document.error()));

  Reader r;
  Scenario scenario;
  if (r.object(*document, "", {"devices", "enumeration_error"})) {
    if (auto devices = r.array(*document, "", "devices")) {
      if (devices->size() > kMaxDevices) {
        r.fail("devices",
               "more than " + std::to_string(kMaxDevices) + " devices, the reader's limit");
      }
      for (std::size_t i = 0; i < devices->size() && r.ok(); ++i) {
        scenario.devices.push_back(parse_device(r, (*devices)[i], Reader::index("devices", i)));
      }
    }
    if (auto v = r.member(*document, "", "enumeration_error")) {
      scenario.enumeration_error = r.text(*v, "enumeration_error");
    }
  }
  if (!r.ok()) return std::unexpected(r.take_error());
  return scenario;
}

}  // namespace kestravo::audio::sim
