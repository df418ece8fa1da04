#include "audio/sim/sim_host.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "audio/callback_formats.h"
#include "audio/sim/sim_stream.h"
#include "platform/output.h"
#include "platform/process.h"
#include "text/utf8.h"

namespace kestravo::audio {

namespace sim {

namespace {

// A name that is only available by copying into a buffer of this size,
// terminating NUL included, is lost when it does not fit.
constexpr std::size_t kCopyBufferSize = 256;

// The most one generated buffer may take.
constexpr std::uint64_t kGeneratedBufferBudget = std::uint64_t{256} << 20;

// Lets the lookup by name find a string_view without copying it.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>{}(name);
  }
};

// One device and what changes while the host runs. Device handles share it,
// so a rate switch or a configurations query through one is seen by all.
struct DeviceState {
  DeviceScript script;
  std::size_t index = 0;
  // Where the scenario came from, to name it in a harness failure.
  std::string source;
  std::mutex mutex;
  std::uint64_t configs_queries = 0;
  std::uint32_t nominal_rate = 0;
};

class SimDevice final : public Device {
 public:
  SimDevice(std::shared_ptr<DeviceState> state, Deadline budget)
      : state_(std::move(state)), budget_(budget) {}

  std::expected<std::string, DeviceNameError> name() const override {
    const auto& script = state_->script;
    if (script.name_error) return std::unexpected(DeviceNameError::backend(*script.name_error));
    return script.name.value_or("");
  }

  std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const override {
    const auto& script = state_->script;
    if (script.configs_error) {
      std::lock_guard lock(state_->mutex);
      if (state_->configs_queries++ >= script.configs_fail_after) {
        return std::unexpected(script.configs_error->to<SupportedStreamConfigsError>());
      }
    }
    return script.configs;
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    const auto& script = state_->script;
    if (!script.default_config) {
      return std::unexpected(DefaultStreamConfigError::of(ErrorKind::StreamTypeNotSupported));
    }
    return *script.default_config;
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    const auto& script = state_->script;
    if (script.build_error) return std::unexpected(script.build_error->to<BuildStreamError>());

    const CallbackFormat element = callback_format(data_callback);
    const SampleFormat format = element.format;
    if (auto problem = check_buffers(script.stream.buffers, format)) {
      // A fixture that does not fit the format the capture chose is a broken
      // scenario, not a device that failed to open.
      harness_failure((state_->source.empty() ? "" : state_->source + ": ") + "devices[" +
                      std::to_string(state_->index) + "].stream.buffers" + *problem);
    }

    // Asked of the buffer a generated signal is written into, before it is
    // allocated: a scenario can ask for gigabytes with two numbers.
    const std::uint64_t frames = config.buffer_frames.value_or(script.stream.buffer_frames);
    const std::uint64_t bytes = frames * config.channels * element.sample_bytes;
    if (bytes > kGeneratedBufferBudget) {
      harness_failure((state_->source.empty() ? "" : state_->source + ": ") + "devices[" +
                      std::to_string(state_->index) + "].stream.buffer_frames: " +
                      std::to_string(frames) + " frames of " + std::to_string(config.channels) +
                      " channels of " + std::string(sample_format_name(format)) + " take " +
                      std::to_string(bytes) + " bytes, more than the simulator's " +
                      std::to_string(kGeneratedBufferBudget >> 20) + " MiB per buffer");
    }

    if (auto switched = switch_rate(config.sample_rate); !switched) {
      return std::unexpected(switched.error());
    }
    if (script.ready_delay_ms <= 0) {
      return start_stream(script.stream, config, script.play_error, std::move(data_callback),
                          std::move(error_callback));
    }
    // A device slower than the budget sends nothing: it has not answered.
    const auto left =
        std::chrono::duration<double, std::milli>(budget_.at() - std::chrono::steady_clock::now());
    if (script.ready_delay_ms >= left.count()) {
      std::this_thread::sleep_until(budget_.at());
      return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
    }
    const auto ready_at = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double, std::milli>(script.ready_delay_ms));
    auto stream = start_stream(script.stream, config, script.play_error, std::move(data_callback),
                               std::move(error_callback));
    if (stream) std::this_thread::sleep_until(ready_at);
    return stream;
  }

 private:
  std::expected<void, BuildStreamError> switch_rate(std::uint32_t rate) {
    const auto& script = state_->script;
    std::lock_guard lock(state_->mutex);
    if (rate == state_->nominal_rate) return {};
    const auto exact = std::ranges::find(script.available_rates, std::pair{rate, rate});
    if (exact == script.available_rates.end()) {
      return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
    }
    switch (script.rate_switch) {
      case RateSwitch::Timeout:
        return std::unexpected(
            BuildStreamError::backend("timeout waiting for sample rate update for device"));
      case RateSwitch::ListenerDisconnected:
        return std::unexpected(
            BuildStreamError::backend("sample rate listener channel disconnected unexpectedly"));
      case RateSwitch::Ok:
        break;
    }
    state_->nominal_rate = rate;
    return {};
  }

  std::shared_ptr<DeviceState> state_;
  Deadline budget_;
};

class SimHost final : public Host {
 public:
  SimHost(Scenario scenario, const std::string& source, Deadline budget)
      : enumeration_error_(std::move(scenario.enumeration_error)), budget_(budget) {
    for (std::size_t i = 0; i < scenario.devices.size(); ++i) {
      auto state = std::make_shared<DeviceState>();
      state->script = std::move(scenario.devices[i]);
      state->index = i;
      state->source = source;
      state->nominal_rate = state->script.nominal_rate;
      devices_.push_back(std::move(state));
    }
    // The listing looks every device up by name; a walk of the list per
    // lookup made a long list quadratic. Earlier devices win, as in a walk.
    for (const auto& state : devices_) {
      const auto& script = state->script;
      if (!script.findable) continue;
      first_of_name_.try_emplace(script.name_error ? std::string() : script.name.value_or(""),
                                 state->index);
    }
  }

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    if (enumeration_error_) return std::unexpected(DevicesError::backend(*enumeration_error_));
    std::vector<std::unique_ptr<Device>> devices;
    devices.reserve(devices_.size());
    for (const auto& state : devices_)
      devices.push_back(std::make_unique<SimDevice>(state, budget_));
    return devices;
  }

  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    const auto found = first_of_name_.find(name);
    if (found == first_of_name_.end()) return std::nullopt;
    return DeviceId{std::to_string(found->second)};
  }

  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    std::size_t index = 0;
    const auto& token = device.token;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), index);
    if (error != std::errc() || end != token.data() + token.size() || index >= devices_.size()) {
      return std::nullopt;
    }
    const auto& names = devices_[index]->script.channel_names;
    if (element == 0 || element > names.size()) return std::nullopt;
    const auto& entry = names[element - 1];
    if (!entry.text || (entry.copy_only && entry.text->size() >= kCopyBufferSize)) {
      return std::nullopt;
    }
    // The platform hands names over as C strings: a name ends at its NUL.
    return entry.text->substr(0, entry.text->find('\0'));
  }

 private:
  std::optional<std::string> enumeration_error_;
  Deadline budget_;
  std::vector<std::shared_ptr<DeviceState>> devices_;
  std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> first_of_name_;
};

}  // namespace

std::unique_ptr<Host> make_host(Scenario scenario, const std::string& source, Deadline budget) {
  return std::make_unique<SimHost>(std::move(scenario), source, budget);
}

void harness_failure(std::string_view reason) {
  // One line of valid UTF-8, whatever the reason holds (the scenario's path
  // comes from the environment as bytes).
  std::string line = "kestravo-sim: scenario: " + text::utf8_lossy(reason);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  platform::standard_error().write_all(line);
  platform::exit_now(2);
}

}  // namespace sim

// The simulated devices answer at once, but for a scripted ready delay,
// which the budget bounds.
std::unique_ptr<Host> default_host(Deadline budget) {
  const char* path = std::getenv("KESTRAVO_SIM_SCENARIO");
  auto scenario = sim::load_scenario(path == nullptr ? "" : path);
  if (!scenario) sim::harness_failure(scenario.error());
  return sim::make_host(std::move(*scenario), path == nullptr ? "" : path, budget);
}

}  // namespace kestravo::audio
