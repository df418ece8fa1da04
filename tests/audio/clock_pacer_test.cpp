// The pacing of streams that may go quiet: which gaps are filled, and which
// data is dropped, at 48 kHz (48 frames a millisecond).
#include "audio/clock_pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestravo::audio {
namespace {

struct Event {
  int ms;                 // since the start
  std::uint64_t data;     // frames of data that came; 0: a tick
  std::uint64_t want;     // silence the tick passes on, or data dropped
  bool gap_news = false;  // instead: the platform tells of a gap
};

TEST(ClockPacer, FillsGapsAndMakesUpOnlyForItsOwnSilence) {
  const struct {
    const char* name;
    std::vector<Event> events;
  } cases[] = {
      {"steady data needs nothing",
       {{20, 960, 0}, {20, 0, 0}, {40, 960, 0}, {45, 0, 0}, {60, 960, 0}, {79, 0, 0}}},
      {"a gap is filled up to the clock on its second tick",
       {{20, 960, 0}, {50, 0, 0}, {60, 0, 0}, {70, 0, 2400}, {90, 0, 960}}},
      {"two ticks too close together are one look",
       {{20, 960, 0}, {60, 0, 0}, {61, 0, 0}, {75, 0, 2640}}},
      {"what a stalled tool finds waiting is not dropped",
       {{20, 960, 0}, {2020, 0, 0}, {2021, 96000, 0}, {2040, 0, 0}}},
      {"a catch-up after a filled gap is dropped down to the clock",
       {{20, 960, 0}, {60, 0, 0}, {2020, 0, 96000}, {2030, 96000, 94080}}},
      {"data ahead of its own is never dropped", {{20, 960, 0}, {30, 96000, 0}, {40, 0, 0}}},
      {"a gap told of is filled on the next tick",
       {{20, 960, 0}, {25, 0, 0, true}, {40, 0, 960}, {45, 240, 0}}},
      {"the make-up ends soon after the gap",
       {{20, 960, 0}, {60, 0, 0}, {1020, 0, 48000}, {1030, 480, 0}, {1300, 96000, 0}}},
  };
  const ClockPacer::Clock::time_point start{};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClockPacer pacer(48000, start);
    for (const auto& e : c.events) {
      SCOPED_TRACE(e.ms);
      const auto now = start + std::chrono::milliseconds(e.ms);
      if (e.gap_news) {
        pacer.gap_begins(now);
        continue;
      }
      EXPECT_EQ(e.data == 0 ? pacer.on_tick(now) : pacer.on_data(now, e.data), e.want);
    }
  }
}

}  // namespace
}  // namespace kestravo::audio
