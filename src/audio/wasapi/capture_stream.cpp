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
#include <vector>

#include "audio/callback_formats.h"
#include "audio/stream_lifetime.h"
#include "audio/wasapi/com.h"
#include "audio/wasapi/hresult.h"

namespace kestravo::audio::wasapi {

namespace {

// What the engine buffers for us, in 100 ns units. Packets still come every
// period (10 ms); the room is for a capture thread held up on a loaded
// machine and for sources that deliver in bursts, which would otherwise
// lose what does not fit.
constexpr REFERENCE_TIME kBufferDuration = 10'000'000;  // 1 s
// How long a stream may deliver nothing before we look whether its endpoint
// is still there, and between two such looks: a lost endpoint may signal
// nothing at all.
constexpr std::chrono::milliseconds kIdleLook{200};

// Tells the capture thread when its endpoint leaves the system: removed,
// disabled or unplugged. Called on a thread of the device enumerator's.
class EndpointWatch final : public IMMNotificationClient {
 public:
  EndpointWatch(std::wstring id, HANDLE gone) : id_(std::move(id)), gone_(gone) {}

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
    if (state != DEVICE_STATE_ACTIVE && is_ours(id)) SetEvent(gone_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    if (is_ours(id)) SetEvent(gone_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  ~EndpointWatch() = default;
  bool is_ours(LPCWSTR id) const { return id != nullptr && id_ == id; }

  std::wstring id_;
  HANDLE gone_;  // owned by the capture thread, which outlives the registration
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

BuildStreamError build_error(HRESULT result) {
  switch (result) {
    case AUDCLNT_E_DEVICE_INVALIDATED:
    case kNotFound:
      return BuildStreamError::of(ErrorKind::DeviceNotAvailable);
    case AUDCLNT_E_UNSUPPORTED_FORMAT:
      return BuildStreamError::of(ErrorKind::StreamConfigNotSupported);
    case E_INVALIDARG:
      return BuildStreamError::of(ErrorKind::InvalidArgument);
    default:
      return BuildStreamError::backend(hresult_text(result));
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

// Everything a running stream holds; released on the capture thread.
struct Opened {
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IAudioClient> client;
  ComPtr<IAudioCaptureClient> capture;
  EventHandle packets{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  EventHandle gone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ComPtr<IMMNotificationClient> watch;
  bool watching = false;

  Opened() = default;
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened() {
    if (client) client->Stop();
    if (watching) enumerator->UnregisterEndpointNotificationCallback(watch.get());
  }
};

HRESULT open(Shared& shared, Opened& opened) {
  if (opened.packets.get() == nullptr || opened.gone.get() == nullptr) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  HRESULT result = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                    IID_IMMDeviceEnumerator, opened.enumerator.put_void());
  if (FAILED(result)) return result;
  ComPtr<IMMDevice> device;
  result = opened.enumerator->GetDevice(shared.endpoint.id.c_str(), device.put());
  if (FAILED(result)) return result;
  DWORD state = 0;
  result = device->GetState(&state);
  if (FAILED(result)) return result;
  if (state != DEVICE_STATE_ACTIVE) return AUDCLNT_E_DEVICE_INVALIDATED;

  *opened.watch.put() = new EndpointWatch(shared.endpoint.id, opened.gone.get());
  opened.watching =
      SUCCEEDED(opened.enumerator->RegisterEndpointNotificationCallback(opened.watch.get()));

  result = device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, opened.client.put_void());
  if (FAILED(result)) return result;
  const WAVEFORMATEXTENSIBLE format = stream_format(shared);
  // The engine converts from its mix format to ours, the rate included.
  result = opened.client->Initialize(
      AUDCLNT_SHAREMODE_SHARED,
      AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
          AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
      kBufferDuration, 0, reinterpret_cast<const WAVEFORMATEX*>(&format), nullptr);
  if (FAILED(result)) return result;
  result = opened.client->SetEventHandle(opened.packets.get());
  if (FAILED(result)) return result;
  result = opened.client->GetService(IID_IAudioCaptureClient, opened.capture.put_void());
  if (FAILED(result)) return result;
  return opened.client->Start();
}

// The buffer holds the samples of the format the stream was opened in.
template <class Sample>
void hand_over(const DataCallback<Sample>& callback, const std::uint8_t* samples, std::size_t count,
               const InputCallbackInfo& info) {
  callback(std::span<const Sample>(reinterpret_cast<const Sample*>(samples), count), info);
}

// Hands every waiting packet to the data callback, whole; silent packets as
// zeros.
HRESULT take_packets(Shared& shared, Opened& opened, std::vector<std::uint8_t>& silence,
                     bool& delivered) {
  const std::size_t frame_bytes = std::size_t{shared.config.channels} * shared.format.sample_bytes;
  for (;;) {
    UINT32 waiting = 0;
    HRESULT result = opened.capture->GetNextPacketSize(&waiting);
    if (FAILED(result) || waiting == 0) return result;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    result = opened.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(result)) return result;
    if (result == AUDCLNT_S_BUFFER_EMPTY) return S_OK;
    const std::size_t bytes = std::size_t{frames} * frame_bytes;
    const std::uint8_t* samples = data;
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || data == nullptr) {
      if (silence.size() < bytes) silence.resize(bytes);
      samples = silence.data();
    }
    const auto now = std::chrono::steady_clock::now();
    const InputCallbackInfo info{.callback = now, .capture = now};
    const std::size_t count = std::size_t{frames} * shared.config.channels;
    std::visit([&](const auto& typed) { hand_over(typed, samples, count, info); },
               shared.data_callback);
    delivered = true;
    result = opened.capture->ReleaseBuffer(frames);
    if (FAILED(result)) return result;
  }
}

// A stream that has delivered nothing for a while: is its endpoint still
// there? Not every system tells through the notifications or through the
// stream itself (Wine's sound-server driver does neither), but an endpoint
// that left is missing from a fresh enumeration.
HRESULT look_at_idle_stream(const Shared& shared, Opened& opened) {
  UINT32 padding = 0;
  HRESULT result = opened.client->GetCurrentPadding(&padding);
  if (FAILED(result)) return result;
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  result = opened.enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, collection.put());
  if (FAILED(result) || FAILED(collection->GetCount(&count))) return S_OK;  // cannot tell
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> id;
    if (SUCCEEDED(collection->Item(i, device.put())) && SUCCEEDED(device->GetId(id.put())) &&
        shared.endpoint.id == id.get()) {
      return S_OK;
    }
  }
  return AUDCLNT_E_DEVICE_INVALIDATED;
}

void answer(Shared& shared, std::optional<BuildStreamError> error) {
  std::lock_guard lock(shared.mutex);
  shared.answered = true;
  shared.open_error = std::move(error);
  shared.changed.notify_all();
}

void run(const std::shared_ptr<Shared>& shared) {
  const ComThread com;
  {
    Opened opened;
    const HRESULT result = com.ok() ? open(*shared, opened) : com.result();
    answer(*shared, FAILED(result) ? std::optional(build_error(result)) : std::nullopt);
    if (SUCCEEDED(result)) {
      // A thread fit for audio where the system has the service; it runs
      // as well, only later, without it.
      DWORD task_index = 0;
      const HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
      std::vector<std::uint8_t> silence;
      bool reported = false;
      auto idle_since = std::chrono::steady_clock::now();
      StreamLifetime& lifetime = *shared->lifetime;
      const HANDLE events[] = {lifetime.wake().event(), opened.packets.get(), opened.gone.get()};
      for (;;) {
        const DWORD woke =
            WaitForMultipleObjects(reported ? 1 : 3, events, FALSE,
                                   reported ? INFINITE : static_cast<DWORD>(kIdleLook.count()));
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED || lifetime.stopping()) break;
        HRESULT taken = S_OK;
        if (woke == WAIT_OBJECT_0 + 2) {
          taken = AUDCLNT_E_DEVICE_INVALIDATED;
        } else {
          bool delivered = false;
          if (woke != WAIT_TIMEOUT) taken = take_packets(*shared, opened, silence, delivered);
          const auto now = std::chrono::steady_clock::now();
          if (delivered) {
            idle_since = now;
          } else if (SUCCEEDED(taken) && now - idle_since >= kIdleLook) {
            // Some systems signal the event on a timer whether or not
            // anything came.
            taken = look_at_idle_stream(*shared, opened);
            idle_since = now;
          }
        }
        if (SUCCEEDED(taken)) continue;
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
  }
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
