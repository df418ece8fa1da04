// What every host's streams share, without a device: when silence is a lost
// device, how a stream's lifetime ends, and a call that may never return.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "audio/bounded_call.h"
#include "audio/stall_watch.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio {
namespace {

using namespace std::chrono_literals;
using Verdict = StallWatch::Verdict;

// One look every tick (250 ms) unless `after` says otherwise; a 1 s limit.
struct Look {
  std::chrono::milliseconds after = StallWatch::kTick;
  bool data = false;
  bool held_up = false;
  bool answered = false;
  Verdict want = Verdict::Fine;
};

TEST(StallWatch, OnlySilenceThatTheServerConfirmsIsALoss) {
  const Look ask{.want = Verdict::Ask};
  const Look answered_ask{.answered = true, .want = Verdict::Ask};
  const struct {
    const char* name;
    std::vector<Look> looks;
  } cases[] = {
      {"silence while the server answers, to the limit",
       {ask, answered_ask, answered_ask, answered_ask, {.answered = true, .want = Verdict::Lost}}},
      {"data starts the count afresh",
       {ask,
        answered_ask,
        answered_ask,
        {.data = true, .answered = true},
        ask,
        {.answered = true, .want = Verdict::Ask}}},
      {"time held up in our own output never counts",
       {ask,
        answered_ask,
        answered_ask,
        {.held_up = true, .answered = true},
        ask,
        {.answered = true, .want = Verdict::Ask}}},
      {"a late look means we did not run",
       {ask, answered_ask, answered_ask, {.after = 1500ms, .answered = true}, ask}},
      {"a server that does not answer is stalled, not lost",
       {ask, {}, {}, {}, {}, {}, {}, {.answered = true, .want = Verdict::Ask}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto now = StallWatch::Clock::time_point{};
    StallWatch watch(1000ms, now);
    for (std::size_t i = 0; i < c.looks.size(); ++i) {
      const auto& l = c.looks[i];
      now += l.after;
      EXPECT_EQ(
          watch.look({.now = now, .data = l.data, .held_up = l.held_up, .answered = l.answered}),
          l.want)
          << "look " << i;
    }
  }
}

TEST(StreamLifetime, ReportsOnceAndReleasesWithoutWaitingForWhatIsStuck) {
  std::atomic<int> reports{0};
  auto lifetime = StreamLifetime::create([&](const StreamError&) { ++reports; });
  ASSERT_TRUE(lifetime);
  auto& life = **lifetime;
  life.report_lost(3);
  life.report_lost(3);
  EXPECT_EQ(reports, 3) << "a loss is reported once, with every notification";

  // A thread of ours that ends at release, and a library's callback that
  // does not return until the test lets it.
  ASSERT_TRUE(life.start_thread("test", [&life] {
    while (!life.wait_until(StreamLifetime::Clock::now() + 10s)) {
    }
  }));
  std::promise<void> entered;
  std::promise<void> let_go;
  std::thread library([&] {
    const StreamLifetime::ForeignCallback running(life);
    entered.set_value();
    let_go.get_future().wait();
  });
  entered.get_future().wait();
  EXPECT_TRUE(life.in_foreign_callback());
  EXPECT_FALSE(life.release(20ms)) << "release waited for a callback that does not return";
  EXPECT_TRUE(life.stopping());
  life.report(StreamError::of(ErrorKind::DeviceNotAvailable));
  EXPECT_EQ(reports, 3) << "a report after release began";
  let_go.set_value();
  library.join();
  EXPECT_TRUE(life.release(10s)) << "the thread and the callback are done";
}

TEST(BoundedCall, AStuckCallIsLeftBehindWithItsResult) {
  std::promise<void> let_go;
  auto gate = let_go.get_future().share();
  auto call = BoundedCall<std::shared_ptr<int>>::start([gate] {
    gate.wait();
    return std::make_shared<int>(7);
  });
  ASSERT_TRUE(call);
  EXPECT_FALSE(call->wait_until(std::chrono::steady_clock::now() + 20ms));
  EXPECT_FALSE(call->take());
  const CallWatch watch = call->watch();
  EXPECT_FALSE(watch.returned());
  let_go.set_value();
  ASSERT_TRUE(call->wait_until(std::chrono::steady_clock::now() + 10s));
  EXPECT_TRUE(watch.returned());
  const auto value = call->take();
  ASSERT_TRUE(value && *value);
  EXPECT_EQ(**value, 7);
  EXPECT_FALSE(call->take()) << "a result is taken once";

  // Abandoned before it returns: the result is released on the call's own
  // thread, and nobody waits for it.
  std::promise<void> later;
  auto late_gate = later.get_future().share();
  auto result = std::make_shared<int>(8);
  std::weak_ptr<int> seen = result;
  {
    auto abandoned =
        BoundedCall<std::shared_ptr<int>>::start([late_gate, result = std::move(result)] {
          late_gate.wait();
          return result;
        });
    ASSERT_TRUE(abandoned);
    const CallWatch late_watch = abandoned->watch();
    abandoned->abandon();
    later.set_value();
    for (int i = 0; i < 1000 && !late_watch.returned(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(late_watch.returned());
  }
  for (int i = 0; i < 1000 && !seen.expired(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(seen.expired()) << "an abandoned result is kept";
}

}  // namespace
}  // namespace kestravo::audio
