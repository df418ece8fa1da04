// Streams of the simulated host. Callbacks only touch a Log held by
// shared_ptr: with runs_after_release a stream's thread outlives its test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numbers>
#include <thread>

#include "audio/audio.h"
#include "audio/sim/scenario.h"
#include "audio/sim/signal.h"
#include "audio/sim/sim_host.h"
#include "support/texts.h"

namespace kestravo::audio::sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Event {
  bool data = true;
  std::thread::id thread;
  Clock::time_point at;
  InputCallbackInfo info;
  std::vector<double> samples;  // data
  std::string text;             // error
};

struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;
  std::atomic<int> errors_inside{0};
  bool overlapped = false;

  void add(Event e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
    changed.notify_all();
  }
  std::vector<Event> snapshot() {
    std::lock_guard lock(mutex);
    return events;
  }
  std::size_t count(bool data) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(
        std::ranges::count_if(events, [&](const Event& e) { return e.data == data; }));
  }
  bool wait_for(std::size_t data, std::size_t errors, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
      std::size_t d = 0, e = 0;
      for (const auto& ev : events) (ev.data ? d : e)++;
      return d >= data && e >= errors;
    });
  }
};

template <class Sample>
DataCallback<Sample> recorder(std::shared_ptr<Log> log) {
  return [log](std::span<const Sample> samples, const InputCallbackInfo& info) {
    Event e{true, std::this_thread::get_id(), Clock::now(), info, {}, {}};
    for (Sample s : samples) e.samples.push_back(static_cast<double>(s));
    log->add(std::move(e));
  };
}

ErrorCallback error_recorder(std::shared_ptr<Log> log) {
  return [log](const StreamError& error) {
    if (log->errors_inside.fetch_add(1) != 0) log->overlapped = true;
    std::this_thread::sleep_for(1ms);
    log->add(Event{false, std::this_thread::get_id(), Clock::now(), {}, {}, error.text()});
    log->errors_inside.fetch_sub(1);
  };
}

struct Running {
  std::shared_ptr<Log> log = std::make_shared<Log>();
  std::unique_ptr<Host> host;
  std::unique_ptr<Stream> stream;
};

// One 2-channel device at 48000 Hz with the given stream object, built with
// element type Sample.
template <class Sample = std::int16_t>
Running start(const std::string& stream_json, const char* format = "I16",
              std::uint16_t channels = 2) {
  Running r;
  const std::string json =
      std::string(R"({"devices": [{"name": "mic", "configs": [{"channels": )") +
      std::to_string(channels) + R"(, "min_rate": 48000, "max_rate": 48000, "format": ")" + format +
      R"("}], "stream": )" + stream_json + "}]}";
  auto scenario = parse_scenario(json);
  EXPECT_TRUE(scenario.has_value()) << scenario.error();
  r.host = make_host(scenario.value_or(Scenario{}));
  auto devices = r.host->devices().value();
  auto stream = devices.at(0)->build_input_stream(StreamConfig{channels, 48000, std::nullopt},
                                                  recorder<Sample>(r.log), error_recorder(r.log));
  EXPECT_TRUE(stream.has_value()) << stream.error().text();
  if (stream) r.stream = std::move(*stream);
  return r;
}

std::string kind_sequence(const std::vector<Event>& events) {
  std::string s;
  for (const auto& e : events) s += e.data ? 'D' : 'E';
  return s;
}

TEST(SimStream, ExplicitBuffersThenTheSignalThenSilence) {
  auto r = start(R"({"buffers": [[1, -2, 3], [], [32767, -32768, 0, 5, 6]], "buffer_frames": 2,
                     "interval_ms": 0, "max_buffers": 5, "signal": {"kind": "silence"}})");
  ASSERT_TRUE(r.log->wait_for(5, 0));
  std::this_thread::sleep_for(30ms);
  const auto events = r.log->snapshot();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].samples, (std::vector<double>{1, -2, 3}));
  EXPECT_EQ(events[1].samples, (std::vector<double>{}));
  EXPECT_EQ(events[2].samples, (std::vector<double>{32767, -32768, 0, 5, 6}));
  EXPECT_EQ(events[3].samples, (std::vector<double>(4, 0)));
  EXPECT_EQ(events[4].samples, (std::vector<double>(4, 0)));
}

TEST(SimStream, RawSamplesOfEachElementType) {
  auto f32 = start<float>(
      R"({"buffers": [[0.5, "nan", "inf", "-inf", -1, 3.5]], "max_buffers": 1})", "F32");
  auto u16 = start<std::uint16_t>(R"({"buffers": [[0, 65535, 32768]], "max_buffers": 1})", "U16");
  ASSERT_TRUE(f32.log->wait_for(1, 0));
  ASSERT_TRUE(u16.log->wait_for(1, 0));
  const auto f = f32.log->snapshot().at(0).samples;
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[0], 0.5);
  EXPECT_TRUE(std::isnan(f[1]));
  EXPECT_EQ(f[2], INFINITY);
  EXPECT_EQ(f[3], -INFINITY);
  EXPECT_EQ(f[4], -1);
  EXPECT_EQ(f[5], 3.5);
  EXPECT_EQ(u16.log->snapshot().at(0).samples, (std::vector<double>{0, 65535, 32768}));
}

TEST(SimStream, GeneratedSineInTheStreamsElementType) {
  auto r = start<std::uint16_t>(
      R"({"buffer_frames": 3, "interval_ms": 0, "max_buffers": 2,
          "signal": {"kind": "sine", "frequency": 1000, "amplitude": 0.5}})",
      "U16");
  ASSERT_TRUE(r.log->wait_for(2, 0));
  const auto events = r.log->snapshot();
  for (int b = 0; b < 2; ++b) {
    ASSERT_EQ(events[b].samples.size(), 6u);
    for (int f = 0; f < 3; ++f) {
      for (int c = 0; c < 2; ++c) {
        const int n = b * 3 + f;
        const double v = 0.5 * std::sin(2 * std::numbers::pi * 1000 * (c + 1) * n / 48000.0);
        EXPECT_EQ(events[b].samples[f * 2 + c], to_u16(v)) << b << " " << f << " " << c;
      }
    }
  }
}

TEST(SimStream, PacedFromTheStartWithoutDrift) {
  std::string buffers;
  for (int n = 0; n < 100; ++n) buffers += (n ? ",[" : "[") + std::to_string(n) + "]";
  const auto before = Clock::now();
  auto r = start(R"({"interval_ms": 10, "max_buffers": 100, "buffers": [)" + buffers + "]}");
  ASSERT_TRUE(r.log->wait_for(100, 0));
  const auto events = r.log->snapshot();
  ASSERT_EQ(events.size(), 100u);
  for (std::size_t n = 0; n < events.size(); ++n) {
    const auto& e = events[n];
    EXPECT_EQ(e.thread, events[0].thread);
    EXPECT_EQ(e.samples, std::vector<double>{static_cast<double>(n)});
    // Buffer n is due n intervals after the start, which is after `before`.
    const auto due_offset = e.info.capture - events[0].info.capture;
    using Ms = std::chrono::duration<double, std::milli>;
    EXPECT_NEAR(Ms(due_offset).count(), 10.0 * n, 0.001);
    EXPECT_GE(e.at, e.info.capture);
    EXPECT_GE(e.at - before, n * 10ms);
  }
  EXPECT_NE(events[0].thread, std::this_thread::get_id());
  // No upper bound on arrival: how late a loaded machine runs a thread is
  // not the stream's doing; the due times above show there is no drift.
}

TEST(SimStream, DefaultIntervalIsTheBufferDuration) {
  // 480 frames at 48000 Hz: 10 ms.
  const auto before = Clock::now();
  auto r = start(R"({"max_buffers": 11, "signal": {"kind": "silence"}})");
  ASSERT_TRUE(r.log->wait_for(11, 0));
  const auto events = r.log->snapshot();
  EXPECT_EQ(events[0].samples.size(), 960u);
  // Due 10 ms apart, and never early; how late they come is the machine's.
  EXPECT_EQ(events.back().info.capture - events[0].info.capture, 100ms);
  EXPECT_GE(events.back().at - before, 100ms);
}

TEST(SimStream, StreamErrorsComeFromTheCallbackThreadAndTheStreamGoesOn) {
  auto r = start(R"({"interval_ms": 0, "max_buffers": 4, "stream_errors": [
      {"after_buffers": 2, "text": "second"}, {"after_buffers": 0, "text": "first"},
      {"after_buffers": 2, "text": "third"}, {"after_buffers": 9, "text": "never"}]})");
  ASSERT_TRUE(r.log->wait_for(4, 3));
  std::this_thread::sleep_for(30ms);
  const auto events = r.log->snapshot();
  EXPECT_EQ(kind_sequence(events), "EDDEEDD");
  EXPECT_EQ(events[0].text, "A backend-specific error has occurred: first");
  EXPECT_EQ(events[3].text, "A backend-specific error has occurred: second");
  EXPECT_EQ(events[4].text, "A backend-specific error has occurred: third");
  for (const auto& e : events) EXPECT_EQ(e.thread, events[1].thread);
}

TEST(SimStream, DisconnectNotifiesFromAnotherThreadAndDataStops) {
  auto r = start(R"({"interval_ms": 1, "disconnect": {"after_buffers": 3, "notifications": 3},
                     "stream_errors": [{"after_buffers": 3, "text": "just before"}]})");
  ASSERT_TRUE(r.log->wait_for(3, 4));
  std::this_thread::sleep_for(50ms);
  const auto events = r.log->snapshot();
  EXPECT_EQ(kind_sequence(events), "DDDEEEE");
  const auto data_thread = events[0].thread;
  EXPECT_EQ(events[3].thread, data_thread);
  EXPECT_EQ(events[3].text, "A backend-specific error has occurred: just before");
  for (std::size_t i = 4; i < events.size(); ++i) {
    EXPECT_EQ(events[i].text, testing::kDeviceGone);
    EXPECT_NE(events[i].thread, data_thread);
    EXPECT_NE(events[i].thread, std::this_thread::get_id());
  }
  EXPECT_FALSE(r.log->overlapped);
}

TEST(SimStream, DisconnectDefaultsToOneNotification) {
  auto r = start(R"({"interval_ms": 0, "disconnect": {"after_buffers": 0}})");
  ASSERT_TRUE(r.log->wait_for(0, 1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(kind_sequence(r.log->snapshot()), "E");
}

TEST(SimStream, RunsAfterReleaseByDefault) {
  auto r = start(R"({"interval_ms": 2, "max_buffers": 40})");
  ASSERT_TRUE(r.log->wait_for(3, 0));
  r.stream.reset();
  const auto at_release = r.log->count(true);
  EXPECT_TRUE(r.log->wait_for(at_release + 5, 0));
}

TEST(SimStream, ReleaseStopsTheStreamWhenAsked) {
  auto r = start(R"({"interval_ms": 1, "runs_after_release": false})");
  ASSERT_TRUE(r.log->wait_for(3, 0));
  r.stream.reset();
  const auto at_release = r.log->snapshot().size();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(r.log->snapshot().size(), at_release);
}

}  // namespace
}  // namespace kestravo::audio::sim
