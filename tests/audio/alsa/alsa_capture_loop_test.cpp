// The ALSA callback thread against a scripted PCM: the overruns, unplugs,
// suspends and failures that the null and file plugins never produce.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "audio/alsa/capture_loop.h"

namespace kestravo::audio::alsa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One wake-up of the loop: what the descriptors report, what the read that
// follows returns (frames, or a negative errno), the PCM state then, and
// whether another period is already waiting after the read.
struct Step {
  unsigned short revents = POLLIN;
  snd_pcm_sframes_t read = 4;
  snd_pcm_state_t state = SND_PCM_STATE_RUNNING;
  bool more = false;
};

Step data() { return {}; }
Step data_and_more() { return {POLLIN, 4, SND_PCM_STATE_RUNNING, true}; }
Step read_error(int err, snd_pcm_state_t state = SND_PCM_STATE_RUNNING) {
  return {POLLIN, -err, state};
}
Step poll_says(unsigned short revents, snd_pcm_state_t state = SND_PCM_STATE_RUNNING) {
  return {revents, 4, state};
}

// What the fake saw, readable by the test while the loop runs.
struct Calls {
  std::atomic<int> polls{0}, reads{0}, prepares{0}, starts{0}, resumes{0};
  std::atomic<bool> closed{false};
};

class ScriptedPcm final : public PcmIo {
 public:
  // After the script: with `repeat_last`, its last step forever; otherwise
  // the descriptors go quiet and the loop waits until it is released.
  ScriptedPcm(std::vector<Step> script, std::shared_ptr<Calls> calls, bool repeat_last = false,
              std::deque<int> resume_results = {})
      : script_(std::move(script)),
        calls_(std::move(calls)),
        repeat_last_(repeat_last),
        resume_results_(std::move(resume_results)) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    ready_read_ = fds[0];
    ready_write_ = fds[1];
    EXPECT_EQ(write(ready_write_, "r", 1), 1);  // readable until the script ends
  }
  ~ScriptedPcm() override {
    close(ready_read_);
    close(ready_write_);
    calls_->closed = true;
  }

  int poll_descriptors_count() override { return 1; }
  int poll_descriptors(std::span<pollfd> fds) override {
    fds[0] = pollfd{ready_read_, POLLIN, 0};
    return 1;
  }
  int poll_revents(std::span<pollfd>, unsigned short* revents) override {
    ++calls_->polls;
    if (next_ >= script_.size() && !(repeat_last_ && !script_.empty())) {
      char byte;
      EXPECT_EQ(read(ready_read_, &byte, 1), 1);
      *revents = 0;
      return 0;
    }
    advance();
    polled_ = true;
    *revents = current_.revents;
    return 0;
  }
  snd_pcm_sframes_t readi(void* buffer, snd_pcm_uframes_t frames) override {
    ++calls_->reads;
    // A read straight after the last one, without waiting in poll.
    if (!std::exchange(polled_, false)) {
      EXPECT_TRUE(current_.more) << "read without poll although no period was waiting";
      if (next_ >= script_.size()) return -EAGAIN;
      advance();
    }
    if (current_.read <= 0) return current_.read;
    // Every sample carries the number of the step that delivered it.
    auto* samples = static_cast<std::int16_t*>(buffer);
    const auto n = std::min<snd_pcm_uframes_t>(frames, current_.read);
    std::fill(samples, samples + n * 2, static_cast<std::int16_t>(next_ - 1));
    return static_cast<snd_pcm_sframes_t>(n);
  }
  int prepare() override {
    ++calls_->prepares;
    return 0;
  }
  int start() override {
    ++calls_->starts;
    return 0;
  }
  int resume() override {
    ++calls_->resumes;
    if (resume_results_.empty()) return 0;
    const int result = resume_results_.front();
    resume_results_.pop_front();
    return result;
  }
  snd_pcm_state_t state() override { return current_.state; }
  snd_pcm_sframes_t avail_update() override { return current_.more ? 4 : 0; }

 private:
  void advance() {
    current_ = script_[std::min(next_, script_.size() - 1)];
    ++next_;
  }

  std::vector<Step> script_;
  std::shared_ptr<Calls> calls_;
  bool repeat_last_;
  std::deque<int> resume_results_;
  std::size_t next_ = 0;
  bool polled_ = false;
  Step current_;
  int ready_read_ = -1;
  int ready_write_ = -1;
};

// What the stream handed to its callbacks: the step number of each buffer
// and every error.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int> buffers;
  std::vector<StreamError> errors;

  // Rechecks now and then as well, for conditions that no callback signals.
  template <class Pred>
  bool wait(Pred done, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex);
    while (!done(*this)) {
      if (Clock::now() >= deadline) return false;
      changed.wait_for(lock, 5ms);
    }
    return true;
  }
};

struct LoopRun {
  std::shared_ptr<Calls> calls = std::make_shared<Calls>();
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::unique_ptr<Stream> stream;

  LoopRun(std::vector<Step> script, bool repeat_last = false, std::deque<int> resume_results = {},
          std::function<void()> in_callback = {}) {
    auto seen_ref = seen;
    DataCallback<std::int16_t> on_data = [seen_ref, in_callback](std::span<const std::int16_t> s,
                                                                 const InputCallbackInfo&) {
      {
        std::lock_guard lock(seen_ref->mutex);
        seen_ref->buffers.push_back(s.empty() ? -1 : s.front());
        seen_ref->changed.notify_all();
      }
      if (in_callback) in_callback();
    };
    ErrorCallback on_error = [seen_ref](const StreamError& e) {
      std::lock_guard lock(seen_ref->mutex);
      seen_ref->errors.push_back(e);
      seen_ref->changed.notify_all();
    };
    auto built =
        start_capture_loop(std::make_unique<ScriptedPcm>(std::move(script), calls, repeat_last,
                                                         std::move(resume_results)),
                           LoopSettings{2, 48000, 4}, std::move(on_data), std::move(on_error));
    EXPECT_TRUE(built.has_value());
    if (built) stream = std::move(*built);
  }

  // Waits until the loop has walked the whole script and gone quiet.
  void settle() { std::this_thread::sleep_for(50ms); }
};

TEST(AlsaCaptureLoopTest, RecoversFromOverrunsAndSuspendsWithoutReporting) {
  const struct {
    const char* what;
    std::vector<Step> script;
    std::deque<int> resume_results;
    std::vector<int> buffers;
    int prepares, starts, resumes;
  } cases[] = {
      {"overrun from the read", {data(), read_error(EPIPE), data()}, {}, {0, 2}, 1, 1, 0},
      {"overrun from poll",
       {data(), poll_says(POLLERR, SND_PCM_STATE_XRUN), data()},
       {},
       {0, 2},
       1,
       1,
       0},
      {"interrupted and empty reads",
       {data(), read_error(EINTR), read_error(EAGAIN), data()},
       {},
       {0, 3},
       0,
       0,
       0},
      {"suspend, resumed after two tries",
       {read_error(ESTRPIPE), data()},
       {-EAGAIN, -EAGAIN, 0},
       {1},
       0,
       0,
       3},
      {"suspend from poll, resume unsupported",
       {poll_says(POLLERR, SND_PCM_STATE_SUSPENDED), data()},
       {-ENOSYS},
       {1},
       1,
       1,
       1},
      {"POLLERR while running: the read tells",
       {poll_says(POLLERR | POLLIN), data()},
       {},
       {0, 1},
       0,
       0,
       0},
  };
  for (const auto& c : cases) {
    LoopRun run(c.script, false, c.resume_results);
    EXPECT_TRUE(run.seen->wait([&](Seen& s) { return s.buffers.size() >= c.buffers.size(); }))
        << c.what;
    run.settle();
    std::lock_guard lock(run.seen->mutex);
    EXPECT_EQ(run.seen->buffers, c.buffers) << c.what;
    EXPECT_TRUE(run.seen->errors.empty()) << c.what << ": " << run.seen->errors.front().text();
    EXPECT_EQ(run.calls->prepares, c.prepares) << c.what;
    EXPECT_EQ(run.calls->starts, c.starts) << c.what;
    EXPECT_EQ(run.calls->resumes, c.resumes) << c.what;
    EXPECT_TRUE(run.stream->play().has_value()) << c.what;
  }
}

TEST(AlsaCaptureLoopTest, DeviceGoneIsReportedOnceAndEndsTheCallbacks) {
  const struct {
    const char* what;
    std::vector<Step> script;
  } cases[] = {
      {"ENODEV from the read", {data(), read_error(ENODEV), data(), data()}},
      {"POLLHUP", {data(), poll_says(POLLHUP | POLLIN), data()}},
      {"POLLNVAL", {data(), poll_says(POLLNVAL), data()}},
      {"POLLERR in state DISCONNECTED",
       {data(), poll_says(POLLERR, SND_PCM_STATE_DISCONNECTED), data()}},
      {"another error in state DISCONNECTED",
       {data(), read_error(EBADFD, SND_PCM_STATE_DISCONNECTED), data()}},
      {"overrun recovery finds the device gone",
       {data(), read_error(EPIPE, SND_PCM_STATE_DISCONNECTED), data()}},
  };
  for (const auto& c : cases) {
    LoopRun run(c.script);
    // The loop ends by itself, closing the PCM.
    EXPECT_TRUE(run.seen->wait([&](Seen&) { return run.calls->closed.load(); })) << c.what;
    std::lock_guard lock(run.seen->mutex);
    EXPECT_EQ(run.seen->buffers, std::vector<int>{0}) << c.what;
    EXPECT_EQ(run.seen->errors, std::vector{StreamError::of(ErrorKind::DeviceNotAvailable)})
        << c.what;
    EXPECT_EQ(run.stream->play(),
              std::unexpected(PlayStreamError::of(ErrorKind::DeviceNotAvailable)))
        << c.what;
  }
}

TEST(AlsaCaptureLoopTest, OtherErrorsAreReportedRateLimitedWithoutBusyLooping) {
  {
    LoopRun run({read_error(EIO), data()});
    EXPECT_TRUE(run.seen->wait([](Seen& s) { return !s.buffers.empty(); }));
    std::lock_guard lock(run.seen->mutex);
    EXPECT_EQ(run.seen->errors, std::vector{StreamError::backend("Input/output error")});
    EXPECT_EQ(run.seen->buffers, std::vector<int>{1});
  }
  {
    // Failing forever: reported at most once a second, and retried after
    // waits of 10 ms doubling to 500 ms, however long this took.
    const auto began = Clock::now();
    LoopRun run({read_error(EIO)}, /*repeat_last=*/true);
    EXPECT_TRUE(run.seen->wait([&](Seen&) { return run.calls->reads >= 2; })) << "no retry";
    std::this_thread::sleep_for(600ms);
    std::lock_guard lock(run.seen->mutex);
    const int reads = run.calls->reads;
    const auto elapsed = Clock::now() - began;
    ASSERT_FALSE(run.seen->errors.empty());
    EXPECT_LE(run.seen->errors.size(), 1 + elapsed / 1s);
    for (const auto& e : run.seen->errors) EXPECT_EQ(e, StreamError::backend("Input/output error"));
    EXPECT_LE(reads, 8 + elapsed / 500ms);
  }
}

TEST(AlsaCaptureLoopTest, AnOverrunStormIsAnErrorAndSlowsDown) {
  const auto began = Clock::now();
  LoopRun run({read_error(EPIPE)}, /*repeat_last=*/true);
  ASSERT_TRUE(run.seen->wait([](Seen& s) { return !s.errors.empty(); }));
  std::this_thread::sleep_for(600ms);
  std::lock_guard lock(run.seen->mutex);
  const int prepares = run.calls->prepares;
  const auto elapsed = Clock::now() - began;
  EXPECT_LE(run.seen->errors.size(), 1 + elapsed / 1s);
  for (const auto& e : run.seen->errors) {
    EXPECT_EQ(e.kind, ErrorKind::BackendSpecific);
    EXPECT_NE(e.description.find("recoveries within one second"), std::string::npos);
  }
  // 50 recoveries a second at once, each further one after a wait of 10 ms
  // doubling to 500 ms: nowhere near a spin, however long this took.
  EXPECT_GE(prepares, 50);
  EXPECT_LE(prepares, 50 * (1 + elapsed / 1s) + 7 + elapsed / 500ms);
}

TEST(AlsaCaptureLoopTest, APeriodAlreadyWaitingIsReadWithoutPolling) {
  LoopRun run({data_and_more(), data_and_more(), data(), data()});
  ASSERT_TRUE(run.seen->wait([](Seen& s) { return s.buffers.size() >= 4; }));
  run.settle();
  std::lock_guard lock(run.seen->mutex);
  EXPECT_EQ(run.seen->buffers, (std::vector<int>{0, 1, 2, 3}));
  // Steps 1 and 2 came straight after a read; the last poll finds silence.
  EXPECT_EQ(run.calls->polls, 3);
}

TEST(AlsaCaptureLoopTest, ReleaseWakesAWaitingLoopAndClosesThePcm) {
  LoopRun run({data()});
  ASSERT_TRUE(run.seen->wait([](Seen& s) { return !s.buffers.empty(); }));
  run.settle();
  run.stream.reset();
  // Without the wake-up the thread would sit in poll for good.
  EXPECT_TRUE(run.seen->wait([&](Seen&) { return run.calls->closed.load(); }));
  std::lock_guard lock(run.seen->mutex);
  EXPECT_TRUE(run.seen->errors.empty());
}

TEST(AlsaCaptureLoopTest, ReleaseDoesNotWaitForAStuckCallback) {
  auto unstick = std::make_shared<std::promise<void>>();
  auto stuck = unstick->get_future().share();
  auto returned = std::make_shared<std::atomic<bool>>(false);
  LoopRun run({data(), data(), data()}, false, {}, [stuck, returned] {
    stuck.wait_for(10s);  // a release that waited for it would take this long
    *returned = true;
  });
  ASSERT_TRUE(run.seen->wait([](Seen& s) { return !s.buffers.empty(); }));

  // Release waits its while for the thread, then leaves it to finish.
  const auto start = Clock::now();
  run.stream.reset();
  EXPECT_GE(Clock::now() - start, kReleaseWait);
  EXPECT_FALSE(*returned) << "the release waited for the callback";
  EXPECT_FALSE(run.calls->closed);

  // Once the callback returns, the thread sees the release and ends without
  // another callback, although the script had more data.
  unstick->set_value();
  EXPECT_TRUE(run.seen->wait([&](Seen&) { return run.calls->closed.load(); }));
  std::lock_guard lock(run.seen->mutex);
  EXPECT_EQ(run.seen->buffers, std::vector<int>{0});
  EXPECT_TRUE(run.seen->errors.empty());
}

}  // namespace
}  // namespace kestravo::audio::alsa
