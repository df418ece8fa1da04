#include "audio/wasapi/capture_stream.h"

// clang-format off
#include <windows.h>
#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "audio/callback_formats.h"
#include "audio/clock_pacer.h"
#include "audio/default_follow.h"
#include "audio/stream_lifetime.h"
#include "audio/wasapi/com.h"
#include "audio/wasapi/hresult.h"
#include "text/utf16.h"

namespace kestravo::audio::wasapi {

namespace {

using Clock = std::chrono::steady_clock;

// What the engine buffers for us, in 100 ns units. Packets still come every
// period (10 ms); the room is for a capture thread held up on a loaded
// machine and for sources that deliver in bursts, which would otherwise
// lose what does not fit.
constexpr REFERENCE_TIME kBufferDuration = 10'000'000;  // 1 s
// How long a stream may deliver nothing before we look whether its endpoint
// is still there, and between two such looks: a lost endpoint may signal
// nothing at all.
constexpr std::chrono::milliseconds kIdleLook{200};
// Silence handed over in one piece at most.
constexpr std::chrono::milliseconds kSilencePiece{100};

std::string utf8(LPCWSTR text) {
  if (text == nullptr) return {};
  const std::wstring_view view(text);
  return text::utf8_from_utf16(std::u16string(view.begin(), view.end()));
}

std::wstring wide(const std::string& text) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

// What a following device's notifications go to: the decisions, taken by
// the capture thread when `changed` wakes it.
struct FollowState {
  FollowState(EDataFlow followed, HANDLE wake) : flow(followed), changed(wake), follow({}) {}

  EDataFlow flow;
  HANDLE changed;  // owned by the capture thread, which outlives the registration
  std::mutex mutex;
  DefaultFollow follow;
};

// Tells the capture thread when its endpoint leaves the system (removed,
// disabled or unplugged), or, for a following device, whatever may move the
// default. Called on a thread of the device enumerator's.
class EndpointWatch final : public IMMNotificationClient {
 public:
  EndpointWatch(std::wstring id, HANDLE gone, std::shared_ptr<FollowState> follow)
      : id_(std::move(id)), gone_(gone), follow_(std::move(follow)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
      *object = static_cast<IMMNotificationClient*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    if (follow_) {
      tell([&](DefaultFollow& f) { f.state_changed(utf8(id), state == DEVICE_STATE_ACTIVE); });
    } else if (state != DEVICE_STATE_ACTIVE && is_ours(id)) {
      SetEvent(gone_);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    if (follow_) {
      tell([&](DefaultFollow& f) { f.removed(utf8(id)); });
    } else if (is_ours(id)) {
      SetEvent(gone_);
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override {
    if (follow_) tell([&](DefaultFollow& f) { f.added(utf8(id)); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    if (follow_ && flow == follow_->flow && role == eConsole) {
      tell([&](DefaultFollow& f) { f.default_changed(utf8(id)); });
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  ~EndpointWatch() = default;
  bool is_ours(LPCWSTR id) const { return id != nullptr && id_ == id; }
  template <class Tell>
  void tell(Tell&& what) {
    {
      std::lock_guard lock(follow_->mutex);
      what(follow_->follow);
    }
    SetEvent(follow_->changed);
  }

  std::wstring id_;
  HANDLE gone_;  // owned by the capture thread, which outlives the registration
  std::shared_ptr<FollowState> follow_;
  std::atomic<ULONG> references_{1};
};

// The capture thread's state, shared with the stream handle. The thread
// holds a reference of its own, so it may outlive the handle.
struct Shared {
  Endpoint endpoint;
  StreamConfig config;
  CallbackFormat format{};
  InputDataCallback data_callback;
  // The thread, its wake-up (the event it waits on besides the stream's)
  // and the loss of the endpoint, reported once.
  std::shared_ptr<StreamLifetime> lifetime;

  std::mutex mutex;
  std::condition_variable changed;
  bool answered = false;
  std::optional<BuildStreamError> open_error;
};

BuildStreamError build_error(const Endpoint& endpoint, HRESULT result) {
  switch (result) {
    case AUDCLNT_E_DEVICE_INVALIDATED:
    case kNotFound:
      return BuildStreamError::of(ErrorKind::DeviceNotAvailable);
    case AUDCLNT_E_UNSUPPORTED_FORMAT:
      return BuildStreamError::of(ErrorKind::StreamConfigNotSupported);
    case E_INVALIDARG:
      return BuildStreamError::of(ErrorKind::InvalidArgument);
    default:
      return BuildStreamError::backend(failure_text(endpoint, result));
  }
}

WAVEFORMATEXTENSIBLE stream_format(const Shared& shared) {
  const bool is_float = shared.format.format == SampleFormat::F32;
  const auto bits = static_cast<WORD>(shared.format.sample_bytes * 8);
  WAVEFORMATEXTENSIBLE format{};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = shared.config.channels;
  format.Format.nSamplesPerSec = shared.config.sample_rate;
  format.Format.wBitsPerSample = bits;
  format.Format.nBlockAlign = static_cast<WORD>(shared.config.channels * bits / 8);
  format.Format.nAvgBytesPerSec = shared.config.sample_rate * format.Format.nBlockAlign;
  format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = bits;
  format.dwChannelMask = shared.endpoint.mix ? shared.endpoint.mix->channel_mask : 0;
  format.SubFormat = is_float ? kSubtypeFloat : kSubtypePcm;
  return format;
}

// One endpoint's running stream.
struct Client {
  std::wstring id;
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;

  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { close(); }
  void close() {
    if (client) client->Stop();
    capture.reset();
    client.reset();
    id.clear();
  }
};

// Everything a running stream holds; released on the capture thread.
struct Opened {
  ComPtr<IMMDeviceEnumerator> enumerator;
  EventHandle packets{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // The endpoint left; for a following device, a notification came.
  EventHandle gone{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::shared_ptr<FollowState> follow;
  ComPtr<IMMNotificationClient> watch;
  bool watching = false;
  Client stream;

  Opened() = default;
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() {
    stream.close();
    if (watching) enumerator->UnregisterEndpointNotificationCallback(watch.get());
  }
};

EDataFlow flow_of(const Endpoint& endpoint) { return endpoint.loopback ? eRender : eCapture; }

// Opens `device` into `stream` and starts it.
HRESULT start_client(const Shared& shared, Opened& opened, IMMDevice& device, Client& stream) {
  DWORD state = 0;
  HRESULT result = device.GetState(&state);
  if (FAILED(result)) return result;
  if (state != DEVICE_STATE_ACTIVE) return AUDCLNT_E_DEVICE_INVALIDATED;
  CoTaskMem<wchar_t> id;
  result = device.GetId(id.put());
  if (FAILED(result)) return result;
  const WAVEFORMATEXTENSIBLE format = stream_format(shared);
  // The engine converts from its mix format to ours, the rate included.
  const DWORD flags = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                      (shared.endpoint.loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0);
  // Event-driven; loopback only polls before Windows 10 1703, and the
  // thread takes what waits on every tick as well.
  for (const DWORD events : {DWORD{AUDCLNT_STREAMFLAGS_EVENTCALLBACK}, DWORD{0}}) {
    stream.close();
    result = device.Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, stream.client.put_void());
    if (FAILED(result)) return result;
    result = stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | events, kBufferDuration, 0,
                                       reinterpret_cast<const WAVEFORMATEX*>(&format), nullptr);
    if (SUCCEEDED(result) && events != 0) {
      result = stream.client->SetEventHandle(opened.packets.get());
    }
    if (SUCCEEDED(result) || !shared.endpoint.loopback || result == E_ACCESSDENIED ||
        result == AUDCLNT_E_DEVICE_INVALIDATED) {
      break;
    }
  }
  if (SUCCEEDED(result)) {
    result = stream.client->GetService(IID_IAudioCaptureClient, stream.capture.put_void());
  }
  if (SUCCEEDED(result)) result = stream.client->Start();
  if (FAILED(result)) {
    stream.close();
    return result;
  }
  stream.id = id.get();
  return S_OK;
}

// The default endpoint of a following device's direction; kNotFound while
// there is none.
HRESULT default_device(const Shared& shared, Opened& opened, ComPtr<IMMDevice>& device) {
  return opened.enumerator->GetDefaultAudioEndpoint(flow_of(shared.endpoint), eConsole,
                                                    device.put());
}

HRESULT open(Shared& shared, Opened& opened) {
  if (opened.packets.get() == nullptr || opened.gone.get() == nullptr) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  HRESULT result = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                    IID_IMMDeviceEnumerator, opened.enumerator.put_void());
  if (FAILED(result)) return result;
  ComPtr<IMMDevice> device;
  if (shared.endpoint.follow != Follow::None) {
    result = default_device(shared, opened, device);
    // With no default now, the capture runs on silence until there is one.
    if (FAILED(result) && result != kNotFound) return result;
  } else {
    result = opened.enumerator->GetDevice(shared.endpoint.id.c_str(), device.put());
    if (FAILED(result)) return result;
  }

  if (shared.endpoint.follow != Follow::None) {
    opened.follow = std::make_shared<FollowState>(flow_of(shared.endpoint), opened.gone.get());
  }
  *opened.watch.put() = new EndpointWatch(shared.endpoint.id, opened.gone.get(), opened.follow);
  opened.watching =
      SUCCEEDED(opened.enumerator->RegisterEndpointNotificationCallback(opened.watch.get()));
  if (!device) return S_OK;
  result = start_client(shared, opened, *device.get(), opened.stream);
  if (FAILED(result)) return result;
  if (opened.follow) {
    std::lock_guard lock(opened.follow->mutex);
    opened.follow->follow.now_on(utf8(opened.stream.id.c_str()));
  }
  return S_OK;
}

// Hands frames over to the data callback: the pacer's to judge, which may
// drop the head of what comes back after a gap it filled.
class Delivery {
 public:
  Delivery(Shared& shared, std::optional<ClockPacer> pacer)
      : shared_(shared),
        frame_bytes_(std::size_t{shared.config.channels} * shared.format.sample_bytes),
        pacer_(pacer),
        silence_(frames_in(kSilencePiece) * frame_bytes_, 0) {}

  void data(const std::uint8_t* samples, std::size_t frames, Clock::time_point now) {
    if (pacer_) {
      const auto dropped = static_cast<std::size_t>(pacer_->on_data(now, frames));
      if (samples != nullptr) samples += dropped * frame_bytes_;
      frames -= dropped;
    }
    // Silent packets as zeros.
    if (samples == nullptr) {
      silence(frames, now);
    } else {
      hand_over(samples, frames, now);
    }
  }

  void tick(Clock::time_point now) {
    if (pacer_) silence(static_cast<std::size_t>(pacer_->on_tick(now)), now);
  }

 private:
  std::size_t frames_in(std::chrono::milliseconds span) const {
    return std::size_t{shared_.config.sample_rate} * static_cast<std::size_t>(span.count()) / 1000;
  }
  void silence(std::size_t frames, Clock::time_point now) {
    const std::size_t room = silence_.size() / frame_bytes_;
    while (frames > 0) {
      const std::size_t n = std::min(frames, room);
      hand_over(silence_.data(), n, now);
      frames -= n;
    }
  }
  void hand_over(const std::uint8_t* samples, std::size_t frames, Clock::time_point now) {
    if (frames == 0) return;
    const InputCallbackInfo info{.callback = now, .capture = now};
    const std::size_t count = frames * shared_.config.channels;
    std::visit([&](const auto& callback) { call(callback, samples, count, info); },
               shared_.data_callback);
  }
  template <class Sample>
  static void call(const DataCallback<Sample>& callback, const std::uint8_t* samples,
                   std::size_t count, const InputCallbackInfo& info) {
    // The buffer holds the samples of the format the stream was opened in.
    callback(std::span<const Sample>(reinterpret_cast<const Sample*>(samples), count), info);
  }

  Shared& shared_;
  std::size_t frame_bytes_;
  std::optional<ClockPacer> pacer_;
  std::vector<std::uint8_t> silence_;
};

// Hands every waiting packet to the data callback, whole.
HRESULT take_packets(Client& stream, Delivery& delivery, bool& delivered) {
  for (;;) {
    UINT32 waiting = 0;
    HRESULT result = stream.capture->GetNextPacketSize(&waiting);
    if (FAILED(result) || waiting == 0) return result;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    result = stream.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(result)) return result;
    if (result == AUDCLNT_S_BUFFER_EMPTY) return S_OK;
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    delivery.data(silent ? nullptr : data, frames, Clock::now());
    delivered = true;
    result = stream.capture->ReleaseBuffer(frames);
    if (FAILED(result)) return result;
  }
}

// A stream that has delivered nothing for a while: is its endpoint still
// there? Not every system tells through the notifications or through the
// stream itself (Wine's sound-server driver does neither), but an endpoint
// that left is missing from a fresh enumeration.
HRESULT look_at_idle_stream(const Shared& shared, Opened& opened) {
  UINT32 padding = 0;
  HRESULT result = opened.stream.client->GetCurrentPadding(&padding);
  if (FAILED(result)) return result;
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  result = opened.enumerator->EnumAudioEndpoints(flow_of(shared.endpoint), DEVICE_STATE_ACTIVE,
                                                 collection.put());
  if (FAILED(result) || FAILED(collection->GetCount(&count))) return S_OK;  // cannot tell
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> id;
    if (SUCCEEDED(collection->Item(i, device.put())) && SUCCEEDED(device->GetId(id.put())) &&
        opened.stream.id == id.get()) {
      return S_OK;
    }
  }
  return AUDCLNT_E_DEVICE_INVALIDATED;
}

// Runs a following device's next step, if there is one: moves the capture
// to another endpoint (or to none) between two packets.
void follow_default(const Shared& shared, Opened& opened) {
  std::optional<DefaultFollow::Step> step;
  {
    std::lock_guard lock(opened.follow->mutex);
    step = opened.follow->follow.take();
  }
  if (!step) return;
  using Kind = DefaultFollow::Step::Kind;
  ComPtr<IMMDevice> device;
  if (step->kind == Kind::Open) {
    const std::wstring id = wide(step->id);
    if (id == opened.stream.id) return;
    opened.enumerator->GetDevice(id.c_str(), device.put());
  } else if (step->kind == Kind::OpenDefault) {
    default_device(shared, opened, device);
  }
  opened.stream.close();
  if (device) start_client(shared, opened, *device.get(), opened.stream);
  std::lock_guard lock(opened.follow->mutex);
  opened.follow->follow.now_on(utf8(opened.stream.id.c_str()));
}

void answer(Shared& shared, std::optional<BuildStreamError> error) {
  std::lock_guard lock(shared.mutex);
  shared.answered = true;
  shared.open_error = std::move(error);
  shared.changed.notify_all();
}

void run(const std::shared_ptr<Shared>& shared) {
  const ComThread com;
  Opened opened;
  const HRESULT opened_as = com.ok() ? open(*shared, opened) : com.result();
  answer(*shared, FAILED(opened_as) ? std::optional(build_error(shared->endpoint, opened_as))
                                    : std::nullopt);
  if (FAILED(opened_as)) return;
  // A thread fit for audio where the system has the service; it runs as
  // well, only later, without it.
  DWORD task_index = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
  // What the computer plays comes only while something plays, and a
  // following device moves between endpoints: both keep time with silence.
  const bool paced = shared->endpoint.loopback || opened.follow;
  Delivery delivery(
      *shared,
      paced ? std::optional(ClockPacer(shared->config.sample_rate, Clock::now())) : std::nullopt);
  bool reported = false;
  auto idle_since = Clock::now();
  StreamLifetime& lifetime = *shared->lifetime;
  const HANDLE events[] = {lifetime.wake().event(), opened.packets.get(), opened.gone.get()};
  const auto wait = paced ? ClockPacer::kTick : kIdleLook;
  for (;;) {
    const DWORD woke = WaitForMultipleObjects(
        reported ? 1 : 3, events, FALSE, reported ? INFINITE : static_cast<DWORD>(wait.count()));
    if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED || lifetime.stopping()) break;
    if (woke == WAIT_OBJECT_0 + 2 && opened.follow) follow_default(*shared, opened);
    HRESULT taken = S_OK;
    if (woke == WAIT_OBJECT_0 + 2 && !opened.follow) {
      taken = AUDCLNT_E_DEVICE_INVALIDATED;
    } else if (opened.stream.capture) {
      bool delivered = false;
      taken = take_packets(opened.stream, delivery, delivered);
      const auto now = Clock::now();
      if (delivered) {
        idle_since = now;
      } else if (SUCCEEDED(taken) && now - idle_since >= kIdleLook) {
        // Some systems signal the event on a timer whether or not
        // anything came.
        taken = look_at_idle_stream(*shared, opened);
        idle_since = now;
      }
    } else if (const auto now = Clock::now(); now - idle_since >= kIdleLook) {
      // A following device on no endpoint asks now and then.
      std::lock_guard lock(opened.follow->mutex);
      opened.follow->follow.look_again();
      SetEvent(opened.gone.get());
      idle_since = now;
    }
    if (!reported) delivery.tick(Clock::now());
    if (SUCCEEDED(taken)) continue;
    if (opened.follow) {
      // A following device stays: it moves on with the default.
      opened.stream.close();
      std::lock_guard lock(opened.follow->mutex);
      opened.follow->follow.now_on({});
      opened.follow->follow.stream_lost();
      SetEvent(opened.gone.get());
      continue;
    }
    // Reported once; then the thread only waits for the release.
    if (taken == AUDCLNT_E_DEVICE_INVALIDATED) {
      lifetime.report_lost();
    } else {
      lifetime.report(StreamError::backend(hresult_text(taken)));
    }
    reported = true;
  }
  if (task != nullptr) AvRevertMmThreadCharacteristics(task);
}

class CaptureStream final : public Stream {
 public:
  explicit CaptureStream(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  // A thread stuck in a driver is left to the process exit; it owns what it
  // touches.
  ~CaptureStream() override { shared_->lifetime->release(); }
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  std::expected<void, PlayStreamError> play() override { return {}; }

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace

std::expected<std::unique_ptr<Stream>, BuildStreamError> open_capture_stream(
    const Endpoint& endpoint, const StreamConfig& config, InputDataCallback data_callback,
    ErrorCallback error_callback, Deadline deadline) {
  const CallbackFormat format = callback_format(data_callback);
  // Shared mode has no unsigned samples.
  if (format.format != SampleFormat::F32 && format.format != SampleFormat::I16) {
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  auto shared = std::make_shared<Shared>();
  shared->endpoint = endpoint;
  shared->config = config;
  shared->format = format;
  shared->data_callback = std::move(data_callback);
  shared->lifetime = std::move(*lifetime);
  if (auto started = shared->lifetime->start_thread("capture", [shared] { run(shared); });
      !started) {
    return std::unexpected(started.error());
  }
  std::unique_lock lock(shared->mutex);
  if (!shared->changed.wait_until(lock, deadline.at(), [&] { return shared->answered; })) {
    lock.unlock();
    // A thread that opens the stream after all finds it released at once.
    shared->lifetime->release(std::chrono::milliseconds(0));
    return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
  }
  if (shared->open_error) {
    auto error = *shared->open_error;
    lock.unlock();
    shared->lifetime->release(std::chrono::milliseconds(0));
    return std::unexpected(std::move(error));
  }
  lock.unlock();
  return std::make_unique<CaptureStream>(std::move(shared));
}

}  // namespace kestravo::audio::wasapi
