// The audio device interface: everything the program needs from an audio
// platform, and nothing else. A host (the simulated one, ALSA) implements
// Host, Device and Stream; the rest of the program sees only this header.
//
// Threading contract every host honours:
//  - The data callback of one stream runs on one host thread, one buffer at a
//    time, never concurrently with itself. It may start running before
//    build_input_stream returns.
//  - Error callbacks of one stream are never called concurrently with each
//    other; they may run on the data thread or on a notification thread, and
//    may overlap a data callback.
//  - Destroying a Stream never blocks for long on a callback that is stuck
//    (for example in a write to a full pipe): a host waits at most
//    kReleaseWait for its thread, then leaves the thread to the process exit;
//    it never waits for its own thread. A callback may therefore outlive the
//    release of its stream: what it touches must be owned by the callback
//    itself. The process exits within 100 ms of its lifeline ending, release
//    included.
//  - A host thread may still be running when the process exits; hosts keep
//    everything such a thread touches alive on the heap, so exit does not
//    crash in static destruction.
//  - A stall is no lost device: time a callback spends held up in the
//    program's own output, or the process stopped, or a sound server that
//    does not answer, never makes a host report the device lost; once the
//    stall ends, data flows again.
//  - Every host keeps these promises through one implementation,
//    audio/stream_lifetime.h (threads, wake-up, release, loss reported once)
//    and audio/stall_watch.h (when silence means a lost device).
//  - A host is made for one listing or one capture, with that operation's
//    Deadline (deadline.h), and no open or query of a device waits past it:
//    a device that has not answered by then fails with the DeviceNotAnswering
//    case, and the call that waits for it is left to the process exit; until
//    that call returns, and once the deadline has passed, every further open
//    or query that would have to wait fails with that case at once. A stopped
//    sound server or a plugin that waits for a writer must never freeze a
//    parent's device picker, nor hold up a capture's ready record.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/deadline.h"
#include "audio/errors.h"

namespace kestravo::audio {

// The ten sample formats, in their canonical order.
enum class SampleFormat : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F32, F64 };

inline constexpr SampleFormat all_sample_formats[] = {
    SampleFormat::I8,  SampleFormat::I16, SampleFormat::I32, SampleFormat::I64, SampleFormat::U8,
    SampleFormat::U16, SampleFormat::U32, SampleFormat::U64, SampleFormat::F32, SampleFormat::F64,
};

// "I8", "I16", ... "F64".
std::string_view sample_format_name(SampleFormat format);
std::optional<SampleFormat> sample_format_from_name(std::string_view name);

// Buffer sizes a configuration allows, in frames; unknown when the host
// cannot say.
struct SupportedBufferSize {
  bool known = false;
  std::uint32_t min_frames = 0;
  std::uint32_t max_frames = 0;
  friend bool operator==(const SupportedBufferSize&, const SupportedBufferSize&) = default;
};

// One supported input configuration range; both rate bounds are inclusive.
struct SupportedStreamConfigRange {
  std::uint16_t channels = 0;
  std::uint32_t min_sample_rate = 0;
  std::uint32_t max_sample_rate = 0;
  SupportedBufferSize buffer_size{};
  SampleFormat sample_format = SampleFormat::F32;
  friend bool operator==(const SupportedStreamConfigRange&,
                         const SupportedStreamConfigRange&) = default;
};

// A single configuration, as the default input configuration reports it.
struct SupportedStreamConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  SupportedBufferSize buffer_size{};
  SampleFormat sample_format = SampleFormat::F32;
  friend bool operator==(const SupportedStreamConfig&, const SupportedStreamConfig&) = default;
};

// What a stream is built with. No buffer_frames means the device's default.
struct StreamConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::optional<std::uint32_t> buffer_frames;
  friend bool operator==(const StreamConfig&, const StreamConfig&) = default;
};

// Timing of one delivered buffer, measured on the host's monotonic clock.
// The program ignores it; hosts fill in what they know.
struct InputCallbackInfo {
  std::chrono::steady_clock::time_point callback{};
  std::chrono::steady_clock::time_point capture{};
};

// One buffer of interleaved samples of the stream's element type.
template <class Sample>
using DataCallback = std::function<void(std::span<const Sample>, const InputCallbackInfo&)>;

// The data callback for one of the three element types a stream can be
// built with: f32, i16 or u16.
using InputDataCallback =
    std::variant<DataCallback<float>, DataCallback<std::int16_t>, DataCallback<std::uint16_t>>;

using ErrorCallback = std::function<void(const StreamError&)>;

// The longest a host's release waits for its threads.
inline constexpr std::chrono::milliseconds kReleaseWait{20};

// A running (or built) input stream. Destroying it releases it; see the
// threading contract above for what release does and does not promise.
class Stream {
 public:
  virtual ~Stream() = default;
  // Starts the stream; on a running stream it does nothing and succeeds.
  virtual std::expected<void, PlayStreamError> play() = 0;
};

// One audio device of a host. A Device stays valid after its Host is gone,
// and a Stream stays valid after its Device is gone.
class Device {
 public:
  virtual ~Device() = default;
  virtual std::expected<std::string, DeviceNameError> name() const = 0;
  // Other names the device answers to when no device has the name asked
  // for as its name (a sound server's own name of a source, names an older
  // listing showed), most telling first; none for most hosts.
  virtual std::vector<std::string> other_names() const { return {}; }
  virtual std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const = 0;
  virtual std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const = 0;
  // Builds (and, as on the reference platform, starts) an input stream with
  // the element type of the callback. The callback may be called before this
  // returns. Errors reach error_callback from host threads.
  virtual std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) = 0;
};

// A host's own identifier of a device, as found by name.
struct DeviceId {
  std::string token;
  friend bool operator==(const DeviceId&, const DeviceId&) = default;
};

class Host {
 public:
  virtual ~Host() = default;
  // Every device of the platform, input and output alike, in platform order.
  virtual std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() = 0;
  // The first device of the whole device list whose name equals `name` byte
  // for byte; a device whose name cannot be read counts as named "".
  virtual std::optional<DeviceId> get_device_id_from_name(std::string_view name) = 0;
  // The name of channel element `element` (1 for the first channel) as raw
  // bytes, which need not be valid UTF-8; none when it cannot be read. Like
  // the C strings platforms hand names over in, it ends before any NUL.
  virtual std::optional<std::string> channel_name(const DeviceId& device,
                                                  std::uint32_t element) = 0;
  // A device that no listing shows but that `name` designates, asked for by
  // a capture that found no listed device of that name: an application's
  // sound before the application plays. None unless a host offers such.
  virtual std::unique_ptr<Device> unlisted_device(std::string_view /*name*/) { return nullptr; }
};

// The host this executable was linked with, for one listing or one capture
// whose waits all end by `budget`. Cannot fail.
std::unique_ptr<Host> default_host(Deadline budget);

// A device supports input when its input configurations can be read and
// hold at least one range. Costs one configurations query. A device that did
// not answer counts as an input device: silence proves nothing, and a capture
// of it then fails with "did not answer" instead of "no input device"; the
// listing, which reads the configurations again, still leaves it out.
bool supports_input(const Device& device);

// The host's devices filtered by supports_input, in platform order.
std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> input_devices(Host& host);

}  // namespace kestravo::audio
