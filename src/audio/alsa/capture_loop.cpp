#include "audio/alsa/capture_loop.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "audio/stream_lifetime.h"
#include "platform/errno_text.h"

namespace kestravo::audio::alsa {

namespace {

using Clock = std::chrono::steady_clock;

class RealPcmIo final : public PcmIo {
 public:
  explicit RealPcmIo(PcmHandle pcm) : pcm_(std::move(pcm)) {}
  int poll_descriptors_count() override {
    return asound().snd_pcm_poll_descriptors_count(pcm_.get());
  }
  int poll_descriptors(std::span<pollfd> fds) override {
    return asound().snd_pcm_poll_descriptors(pcm_.get(), fds.data(),
                                             static_cast<unsigned>(fds.size()));
  }
  int poll_revents(std::span<pollfd> fds, unsigned short* revents) override {
    return asound().snd_pcm_poll_descriptors_revents(pcm_.get(), fds.data(),
                                                     static_cast<unsigned>(fds.size()), revents);
  }
  snd_pcm_sframes_t readi(void* buffer, snd_pcm_uframes_t frames) override {
    return asound().snd_pcm_readi(pcm_.get(), buffer, frames);
  }
  snd_pcm_sframes_t avail_update() override { return asound().snd_pcm_avail_update(pcm_.get()); }
  int prepare() override { return asound().snd_pcm_prepare(pcm_.get()); }
  int start() override { return asound().snd_pcm_start(pcm_.get()); }
  int resume() override { return asound().snd_pcm_resume(pcm_.get()); }
  snd_pcm_state_t state() override { return asound().snd_pcm_state(pcm_.get()); }

 private:
  PcmHandle pcm_;
};

// The period buffer and the typed data callback that reads it.
struct PeriodBuffer {
  void* buffer = nullptr;
  std::function<void(std::size_t frames, const InputCallbackInfo&)> deliver;
};

template <class Sample>
PeriodBuffer make_period_buffer(DataCallback<Sample> callback, const LoopSettings& settings) {
  const std::size_t channels = settings.channels;
  auto storage = std::make_shared<std::vector<Sample>>(settings.period_frames * channels);
  PeriodBuffer period;
  period.buffer = storage->data();
  period.deliver = [storage, callback = std::move(callback), channels](
                       std::size_t frames, const InputCallbackInfo& info) {
    callback(std::span<const Sample>(storage->data(), frames * channels), info);
  };
  return period;
}

// Everything the callback thread touches. It lives on the heap and is shared
// by the stream and the thread, so a thread left behind at release (or still
// running at process exit) never touches freed memory.
struct LoopState {
  std::shared_ptr<StreamLifetime> lifetime;
  std::unique_ptr<PcmIo> io;
  LoopSettings settings;
  LoopTuning tuning;
  PeriodBuffer period;
};

// The loop proper; its fields belong to the callback thread alone.
class Loop {
 public:
  explicit Loop(LoopState& state) : s_(state) {}

  void run() {
    const int count = s_.io->poll_descriptors_count();
    if (count <= 0) {
      fault(count < 0 ? asound().snd_strerror(count) : "the device offers nothing to wait on");
      return;
    }
    fds_.assign(static_cast<std::size_t>(count) + 1, pollfd{});
    fds_[0] = pollfd{s_.lifetime->wake().fd(), POLLIN, 0};
    const int filled = s_.io->poll_descriptors(std::span(fds_).subspan(1));
    if (filled < 0) {
      fault(asound().snd_strerror(filled));
      return;
    }
    fds_.resize(static_cast<std::size_t>(filled) + 1);
    while (step() == Next::Go) {
    }
  }

 private:
  enum class Next { Go, Stop };

  Next step() {
    if (s_.lifetime->stopping()) return Next::Stop;
    if (std::exchange(period_waiting_, false)) return read_period();
    if (::poll(fds_.data(), fds_.size(), -1) < 0) {
      if (errno == EINTR) return Next::Go;
      return fault("waiting for the device failed: " + platform::errno_text(errno));
    }
    if (fds_[0].revents != 0 || s_.lifetime->stopping()) return Next::Stop;

    unsigned short revents = 0;
    const int err = s_.io->poll_revents(std::span(fds_).subspan(1), &revents);
    if (err < 0) return on_error(err);
    if ((revents & (POLLHUP | POLLNVAL)) != 0) return gone();
    if ((revents & POLLERR) != 0) {
      switch (s_.io->state()) {
        case SND_PCM_STATE_DISCONNECTED:
          return gone();
        case SND_PCM_STATE_XRUN:
          return recover_overrun();
        case SND_PCM_STATE_SUSPENDED:
          return recover_suspend();
        default:
          break;  // let the read tell what is wrong
      }
    } else if ((revents & POLLIN) == 0) {
      return idle();
    }

    return read_period();
  }

  Next read_period() {
    const snd_pcm_uframes_t period_frames = s_.settings.period_frames;
    const snd_pcm_sframes_t frames = s_.io->readi(s_.period.buffer, period_frames);
    if (frames == -EAGAIN || frames == 0) return idle();
    if (frames < 0) return on_error(static_cast<int>(frames));
    idle_wakeups_ = 0;
    backoff_ = s_.tuning.backoff_min;
    if (s_.lifetime->stopping()) return Next::Stop;
    const auto now = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / s_.settings.sample_rate));
    s_.period.deliver(static_cast<std::size_t>(frames), InputCallbackInfo{now, now - span});
    // When the next period is already there (a consumer that fell behind, or
    // a PCM without a clock), waiting in poll first would only cost two
    // system calls per period. Release is still seen: the flag is checked on
    // every step.
    const snd_pcm_sframes_t avail = s_.io->avail_update();
    period_waiting_ = avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) >= period_frames;
    return Next::Go;
  }

  Next on_error(int err) {
    if (err == -EINTR || err == -EAGAIN) return Next::Go;
    if (err == -ENODEV || s_.io->state() == SND_PCM_STATE_DISCONNECTED) return gone();
    if (err == -EPIPE) return recover_overrun();
    if (err == -ESTRPIPE) return recover_suspend();
    return fault(asound().snd_strerror(err));
  }

  // A capture PCM left PREPARED after an overrun never delivers again; it
  // has to be started as well.
  Next recover_overrun() {
    if (count_recovery() == Next::Stop) return Next::Stop;
    return prepare_and_start();
  }

  Next recover_suspend() {
    if (count_recovery() == Next::Stop) return Next::Stop;
    int err = -EAGAIN;
    for (int attempt = 0; attempt < 100 && err == -EAGAIN; ++attempt) {
      err = s_.io->resume();
      if (err == -EAGAIN && wait_for_wake(std::chrono::milliseconds(10))) return Next::Stop;
    }
    if (err == -ENODEV) return gone();
    if (err < 0) return prepare_and_start();  // the device cannot resume: start afresh
    return Next::Go;
  }

  Next prepare_and_start() {
    int err = s_.io->prepare();
    if (err >= 0) err = s_.io->start();
    if (err >= 0) return Next::Go;
    if (err == -ENODEV) return gone();
    report(asound().snd_strerror(err));
    return Next::Go;  // the next read fails too and backs off
  }

  // Counts one recovery; too many within one second are treated as a failure.
  Next count_recovery() {
    const auto now = Clock::now();
    if (now - window_start_ >= std::chrono::seconds(1)) {
      window_start_ = now;
      recoveries_ = 0;
    }
    if (++recoveries_ <= s_.tuning.max_recoveries_per_second) return Next::Go;
    return fault("the device keeps overrunning or being suspended (" + std::to_string(recoveries_) +
                     " recoveries within one second)",
                 /*restore_state=*/false);
  }

  // A failure that is neither an overrun, a suspend nor the device gone:
  // report it (rate-limited), wait, and bring the PCM back to running.
  Next fault(const std::string& description, bool restore_state = true) {
    report(description);
    if (wait_for_wake(backoff_)) return Next::Stop;
    backoff_ = std::min(backoff_ * 2, s_.tuning.backoff_max);
    if (!restore_state) return Next::Go;
    switch (s_.io->state()) {
      case SND_PCM_STATE_DISCONNECTED:
        return gone();
      case SND_PCM_STATE_SUSPENDED:
        return recover_suspend();
      case SND_PCM_STATE_XRUN:
      case SND_PCM_STATE_SETUP:
        return prepare_and_start();
      case SND_PCM_STATE_PREPARED: {
        const int err = s_.io->start();
        if (err == -ENODEV) return gone();
        if (err < 0) report(asound().snd_strerror(err));
        return Next::Go;
      }
      default:
        return Next::Go;
    }
  }

  // Woken without data. A PCM whose descriptors keep waking us for nothing
  // must not turn the loop into a busy one.
  Next idle() {
    if (++idle_wakeups_ < 100) return Next::Go;
    idle_wakeups_ = 0;
    return wait_for_wake(std::chrono::milliseconds(1)) ? Next::Stop : Next::Go;
  }

  Next gone() {
    s_.lifetime->report_lost();
    return Next::Stop;
  }

  void report(const std::string& description) {
    const auto now = Clock::now();
    if (reported_ && now - last_report_ < s_.tuning.report_interval) return;
    reported_ = true;
    last_report_ = now;
    s_.lifetime->report(StreamError::backend(description));
  }

  // Sleeps up to `timeout`; true when the stream is being released.
  bool wait_for_wake(std::chrono::milliseconds timeout) {
    return s_.lifetime->wait_until(Clock::now() + timeout);
  }

  LoopState& s_;
  std::vector<pollfd> fds_;
  bool period_waiting_ = false;
  std::chrono::milliseconds backoff_ = s_.tuning.backoff_min;
  int idle_wakeups_ = 0;
  Clock::time_point window_start_{};
  int recoveries_ = 0;
  bool reported_ = false;
  Clock::time_point last_report_{};
};

class AlsaStream final : public Stream {
 public:
  explicit AlsaStream(std::shared_ptr<LoopState> state) : state_(std::move(state)) {}

  // The thread closes the PCM once woken. A data callback stuck in a write
  // to a full pipe must not hold up the caller: after a short wait the
  // thread is left to finish (or to the process exit) on its own.
  ~AlsaStream() override { state_->lifetime->release(state_->tuning.release_wait); }

  std::expected<void, PlayStreamError> play() override { return state_->lifetime->play_result(); }

 private:
  std::shared_ptr<LoopState> state_;
};

}  // namespace

std::unique_ptr<PcmIo> pcm_io(PcmHandle pcm) { return std::make_unique<RealPcmIo>(std::move(pcm)); }

std::expected<std::unique_ptr<Stream>, BuildStreamError> start_capture_loop(
    std::unique_ptr<PcmIo> io, const LoopSettings& settings, InputDataCallback data_callback,
    ErrorCallback error_callback, const LoopTuning& tuning) {
  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  auto state = std::make_shared<LoopState>();
  state->lifetime = *lifetime;
  state->io = std::move(io);
  state->settings = settings;
  state->tuning = tuning;
  state->period =
      std::visit([&](auto& callback) { return make_period_buffer(std::move(callback), settings); },
                 data_callback);
  auto started = state->lifetime->start_thread("capture", [state] {
    Loop(*state).run();
    state->io.reset();
  });
  if (!started) return std::unexpected(started.error());
  return std::make_unique<AlsaStream>(std::move(state));
}

}  // namespace kestravo::audio::alsa
