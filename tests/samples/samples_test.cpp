#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocol/json_line.h"
#include "samples/buffer.h"
#include "samples/callback.h"
#include "samples/convert.h"

// Allocations made by this thread while `counting` is set.
namespace {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace kestravo::samples {
namespace {

using namespace std::chrono_literals;
using Clock = LevelClock::Clock;

class RecordingOutput final : public platform::Output {
 public:
  bool write_all(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return true;
  }
  std::string all() const {
    std::string joined;
    for (const auto& w : writes) joined += w;
    return joined;
  }
  std::vector<std::string> writes;
};

// A clock that moves only when the test says so.
struct FakeTime {
  Clock::time_point now{};
  std::shared_ptr<LevelClock> make_clock() {
    return std::make_shared<LevelClock>([this] { return now; });
  }
};

std::string le(std::initializer_list<std::int16_t> samples) {
  std::string bytes;
  for (const std::int16_t s : samples) {
    const auto bits = static_cast<std::uint16_t>(s);
    bytes += static_cast<char>(bits & 0xFF);
    bytes += static_cast<char>(bits >> 8);
  }
  return bytes;
}

TEST(Convert, F32Table) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    float in;
    std::int16_t out;
  } cases[] = {
      {1.0f, 32767},   {-1.0f, -32767}, {2.0f, 32767}, {-3.0f, -32767},   {0.5f, 16383},
      {-0.5f, -16383}, {0.00001f, 0},   {nan, 0},      {-nan, 0},         {inf, 32767},
      {-inf, -32767},  {0.0f, 0},       {-0.0f, 0},    {0.99999f, 32766}, {1e-30f, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(f32_to_i16(c.in), c.out) << c.in;
}

// The conversion rule written out step by step: clamp, scale, truncate,
// saturate. The fast version reorders these steps, so check that it agrees
// over a spread of bit patterns (every one agrees; that was checked once
// over all 2^32 by hand).
std::int16_t f32_reference(float value) {
  if (value < -1.0f) value = -1.0f;
  if (value > 1.0f) value = 1.0f;
  const float scaled = value * 32767.0f;
  if (std::isnan(scaled)) return 0;
  const double truncated = std::clamp(std::trunc(static_cast<double>(scaled)), -32768.0, 32767.0);
  return static_cast<std::int16_t>(truncated);
}

TEST(Convert, F32AgreesWithTheStepByStepRule) {
  for (std::uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 4099) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    ASSERT_EQ(f32_to_i16(value), f32_reference(value)) << std::hex << bits;
  }
  // Around the clamp bounds and the scale's rounding edges.
  for (const float edge : {1.0f, -1.0f, 32766.5f / 32767.0f, 1.0f / 32767.0f}) {
    float value = edge;
    for (int i = 0; i < 64; ++i) value = std::nextafter(value, 0.0f);
    for (int i = 0; i < 128; ++i, value = std::nextafter(value, 2.0f * edge)) {
      ASSERT_EQ(f32_to_i16(value), f32_reference(value)) << value;
      ASSERT_EQ(f32_to_i16(-value), f32_reference(-value)) << -value;
    }
  }
}

TEST(Convert, U16IsOffsetBinary) {
  EXPECT_EQ(u16_to_i16(0), -32768);
  EXPECT_EQ(u16_to_i16(1), -32767);
  EXPECT_EQ(u16_to_i16(32767), -1);
  EXPECT_EQ(u16_to_i16(32768), 0);
  EXPECT_EQ(u16_to_i16(65535), 32767);
}

// The levels rule step by step, as the meter must give it bit for bit: the
// rms and peak of each selected channel's column over the whole frames of
// `samples`, on a scale where magnitude 32768 is 1.0, each column's squares
// summed in double precision one after another, in sample order.
constexpr double kScale = 1.0 / 32768.0;

// Entry f of the column of device channel `channel`: the sample at
// f * channel_count + channel, or 0 past the end of the buffer (which only a
// channel at or above the channel count can reach).
std::int16_t column_sample(std::span<const std::int16_t> samples, std::size_t channel_count,
                           std::size_t channel, std::size_t frame) {
  const std::size_t position = frame * channel_count + channel;
  return position < samples.size() ? samples[position] : std::int16_t{0};
}

protocol::LevelsRecord compute_levels(std::span<const std::int16_t> samples,
                                      std::size_t channel_count,
                                      std::span<const std::size_t> selected) {
  const std::size_t frames = channel_count == 0 ? 0 : samples.size() / channel_count;
  protocol::LevelsRecord levels;
  levels.rms.reserve(selected.size());
  levels.peak.reserve(selected.size());
  for (const std::size_t channel : selected) {
    // Summed strictly in sample order: the exact bits of the result depend
    // on it.
    double sum = 0.0;
    for (std::size_t f = 0; f < frames; ++f) {
      const double x = column_sample(samples, channel_count, channel, f) * kScale;
      sum += x * x;
    }
    levels.rms.push_back(std::sqrt(sum / static_cast<double>(std::max<std::size_t>(frames, 1))));
  }
  for (const std::size_t channel : selected) {
    double peak = 0.0;
    for (std::size_t f = 0; f < frames; ++f) {
      peak = std::max(peak, std::abs(column_sample(samples, channel_count, channel, f) * kScale));
    }
    levels.peak.push_back(peak);
  }
  return levels;
}

struct Fixture : ::testing::Test {
  RecordingOutput pcm;
  RecordingOutput status;
  Sinks sinks{pcm, status};
  FakeTime time;
  std::shared_ptr<LevelClock> clock = time.make_clock();

  void process(std::vector<std::int16_t> samples, std::size_t channels,
               std::vector<std::size_t> selected) {
    Workspace workspace;
    process_buffer(std::span<const std::int16_t>(samples), channels, selected, *clock, sinks,
                   workspace);
  }
};

using ProcessBuffer = Fixture;

TEST_F(ProcessBuffer, SelectsWholeFramesInRequestOrder) {
  const std::int16_t a0 = 10, a1 = 11, a2 = 12, a3 = 13, b0 = 20, b1 = 21, b2 = 22, b3 = 23;
  const std::vector<std::int16_t> two_frames = {a0, a1, a2, a3, b0, b1, b2, b3, 30, 31};
  const struct {
    const char* name;
    std::vector<std::size_t> selected;
    std::string bytes;
  } cases[] = {
      {"reordered", {2, 0}, le({a2, a0, b2, b0})},
      {"duplicate", {1, 1}, le({a1, a1, b1, b1})},
      {"all", {0, 1, 2, 3}, le({a0, a1, a2, a3, b0, b1, b2, b3})},
      {"last", {3}, le({a3, b3})},
  };
  for (const auto& c : cases) {
    pcm.writes.clear();
    process(two_frames, 4, c.selected);
    ASSERT_EQ(pcm.writes.size(), 1u) << c.name;  // one write per buffer
    EXPECT_EQ(pcm.writes[0], c.bytes) << c.name;
  }
}

TEST_F(ProcessBuffer, I16ReachesTheWireBitForBit) {
  process({0, 1, -1, 32767, -32768, 0x1234}, 1, {0});
  EXPECT_EQ(pcm.all(), std::string("\x00\x00\x01\x00\xff\xff\xff\x7f\x00\x80\x34\x12", 12));
}

TEST_F(ProcessBuffer, ShortBufferOrNoChannelsWritesNothingAndKeepsTheClock) {
  time.now += 60ms;  // a record is due
  process({1, 2, 3}, 4, {0});
  process({1, 2, 3}, 0, {0});
  process({}, 1, {0});
  EXPECT_TRUE(pcm.writes.empty());
  EXPECT_TRUE(status.writes.empty());
  // The clock was not reset by those buffers, so the next whole frame is still due.
  process({1, 2, 3, 4}, 4, {0});
  EXPECT_EQ(status.writes.size(), 1u);
}

// The meter against the rule at both vector widths it may use: the widest
// the processor has, and the one every processor of the target has, which
// the other tests never reach on a processor with wider vectors. Lengths
// around the vector steps; one sample in eight is full-scale negative.
TEST_F(ProcessBuffer, MeterAgreesWithTheRuleAtEveryVectorWidth) {
  std::uint32_t seed = 7;
  for (const bool wide : {true, false}) {
    allow_wide_meter(wide);
    for (const std::size_t channels : {1, 2, 4, 8}) {
      for (const std::size_t frames : {1, 15, 16, 33, 257, 960}) {
        std::vector<std::int16_t> samples(frames * channels);
        for (auto& sample : samples) {
          seed = seed * 1664525u + 1013904223u;
          sample = (seed >> 29) == 0 ? std::int16_t{-32768} : static_cast<std::int16_t>(seed >> 16);
        }
        std::vector<std::size_t> selected(channels);
        for (std::size_t j = 0; j < channels; ++j) selected[j] = j;
        time.now += 60ms;
        status.writes.clear();
        process(samples, channels, selected);
        ASSERT_EQ(status.writes.size(), 1u);
        EXPECT_EQ(status.writes[0],
                  protocol::encode_line(compute_levels(samples, channels, selected)))
            << (wide ? "wide, " : "narrow, ") << channels << " ch, " << frames << " frames";
      }
    }
  }
  allow_wide_meter(true);
}

TEST_F(ProcessBuffer, AtMostOneRecordPer50ms) {
  // Buffer arrival times (ms after the clock was created) and whether each
  // emits a record.
  const struct {
    int at_ms;
    bool emits;
  } timeline[] = {
      {0, false},  {20, false}, {49, false},  {50, true},  {70, false},
      {99, false}, {100, true}, {120, false}, {200, true}, {201, false},
  };
  for (const auto& step : timeline) {
    time.now = Clock::time_point{} + std::chrono::milliseconds(step.at_ms);
    status.writes.clear();
    process({100, -100}, 2, {0, 1});
    EXPECT_EQ(status.writes.size(), step.emits ? 1u : 0u) << "at " << step.at_ms << " ms";
  }
}

TEST_F(ProcessBuffer, JustUnder50msIsNotDue) {
  time.now += 50ms - 1ns;
  process({1}, 1, {0});
  EXPECT_TRUE(status.writes.empty());
  time.now += 1ns;
  process({1}, 1, {0});
  EXPECT_EQ(status.writes.size(), 1u);
}

TEST_F(ProcessBuffer, LevelsRecordDescribesOnlyTheBufferInHand) {
  time.now += 10ms;
  process({-32768, -32768}, 1, {0});  // loud, but no record falls due
  time.now += 50ms;
  process({0, 0, 0, 0, 0, 0}, 2, {1, 0});
  ASSERT_EQ(status.writes.size(), 1u);
  EXPECT_EQ(status.writes[0],
            protocol::encode_line(protocol::LevelsRecord{{0.0, 0.0}, {0.0, 0.0}}));
}

TEST(Levels, KnownColumns) {
  const struct {
    const char* name;
    std::vector<std::int16_t> column;
    double rms;
    double peak;
  } cases[] = {
      {"full negative", std::vector<std::int16_t>(64, -32768), 1.0, 1.0},
      {"full positive", std::vector<std::int16_t>(64, 32767), 0.999969482421875, 0.999969482421875},
      {"zeros", std::vector<std::int16_t>(64, 0), 0.0, 0.0},
      {"one lsb in 512",
       [] {
         std::vector<std::int16_t> v(512, 0);
         v[7] = -1;
         return v;
       }(),
       // sqrt(2^-39), correctly rounded
       1.3486991523486091e-6, 0.000030517578125},
      {"half scale square", {16384, -16384, 16384, -16384}, 0.5, 0.5},
      {"mixed", {16384, -16384, 0, 0}, std::sqrt(0.125), 0.5},
  };
  for (const auto& c : cases) {
    const auto levels = compute_levels(c.column, 1, std::vector<std::size_t>{0});
    ASSERT_EQ(levels.rms.size(), 1u);
    EXPECT_EQ(levels.rms[0], c.rms) << c.name;
    EXPECT_EQ(levels.peak[0], c.peak) << c.name;
  }
}

TEST(Levels, OnePerSelectedEntryInOrder) {
  // Frames of 3 channels: channel 0 silent, 1 full scale, 2 a quarter.
  std::vector<std::int16_t> samples;
  for (int f = 0; f < 8; ++f) samples.insert(samples.end(), {0, -32768, 8192});
  const auto levels = compute_levels(samples, 3, std::vector<std::size_t>{2, 1, 1, 0});
  EXPECT_EQ(levels.rms, (std::vector<double>{0.25, 1.0, 1.0, 0.0}));
  EXPECT_EQ(levels.peak, (std::vector<double>{0.25, 1.0, 1.0, 0.0}));
}

TEST_F(ProcessBuffer, LevelsIgnoreTheTrailingPartialFrame) {
  time.now += 50ms;
  process({8192, 0, 8192, 0, -32768}, 2, {0});
  ASSERT_EQ(status.writes.size(), 1u);
  EXPECT_EQ(status.writes[0], protocol::encode_line(protocol::LevelsRecord{{0.25}, {0.25}}));
}

// The data callbacks, as a host calls them.
struct Callbacks : Fixture {
  std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);

  audio::InputDataCallback make(audio::SampleFormat format, std::vector<std::size_t> selected,
                                std::size_t channels) {
    auto callback =
        make_data_callback(format, CallbackSetup{selected, stop, clock, channels, nullptr}, sinks);
    EXPECT_TRUE(callback.has_value());
    return *callback;
  }

  template <class Sample>
  static void deliver(const audio::InputDataCallback& callback, std::vector<Sample> buffer) {
    std::get<audio::DataCallback<Sample>>(callback)(buffer, audio::InputCallbackInfo{});
  }
};

TEST_F(Callbacks, EachFormatConvertsThenSelects) {
  deliver<float>(make(audio::SampleFormat::F32, {1, 0}, 2), {1.0f, -1.0f, 0.5f, NAN, 0.25f});
  EXPECT_EQ(pcm.all(), le({-32767, 32767, 0, 16383}));

  pcm.writes.clear();
  deliver<std::uint16_t>(make(audio::SampleFormat::U16, {0}, 3), {0, 1, 2, 32768, 4, 5, 65535, 7});
  EXPECT_EQ(pcm.all(), le({-32768, 0}));
  pcm.writes.clear();
  deliver<std::int16_t>(make(audio::SampleFormat::I16, {2, 2}, 3), {0, 1, -2, 3, 4, 5});
  EXPECT_EQ(pcm.all(), le({-2, -2, 5, 5}));
}

// The one pass that converts, selects and meters, against the rule written
// out: every sample converted, the columns picked, the levels of the
// converted columns summed one sample after another in double precision.
// Each case delivers a large buffer, then a smaller one through the same
// callback, with a record due before the buffer is read or only after its
// block is written; the last row is long enough that its squares must be
// summed in double precision, not as integers. Every channel count from 1
// to 8 is there, each whole and with columns picked at strides; a loud row
// starts its buffers with a run of full-scale negative samples, the largest
// squares there are, which catches any sum kept too narrow.
TEST_F(Callbacks, OnePassAgreesWithTheStepByStepRule) {
  using audio::SampleFormat;
  const struct {
    SampleFormat format;
    std::size_t channels;
    std::vector<std::size_t> selected;
    std::size_t frames;
    bool due_after_write;
    bool loud = false;
  } cases[] = {
      {SampleFormat::I16, 4, {0, 1, 2, 3}, 700, false},  // the delivered buffer is the block
      {SampleFormat::I16, 4, {0, 1, 2, 3}, 700, true},
      {SampleFormat::F32, 2, {0, 1}, 900, false},
      {SampleFormat::F32, 2, {0, 1}, 900, true},
      {SampleFormat::F32, 8, {0, 1, 2, 3, 4, 5, 6, 7}, 700, false},
      {SampleFormat::U16, 8, {5}, 300, false},
      {SampleFormat::U16, 8, {5}, 300, true},
      {SampleFormat::F32, 3, {2, 0, 2}, 500, false},
      {SampleFormat::I16, 3, {1, 1}, 500, true},
      {SampleFormat::I16, 1, {0}, 1001, false, true},
      {SampleFormat::I16, 2, {0, 1}, 999, false, true},
      {SampleFormat::I16, 2, {1}, 999, false, true},
      {SampleFormat::I16, 3, {0, 1, 2}, 601, false},
      {SampleFormat::I16, 4, {0, 1, 2, 3}, 603, false, true},
      {SampleFormat::I16, 5, {0, 1, 2, 3, 4}, 605, false, true},
      {SampleFormat::I16, 6, {0, 1, 2, 3, 4, 5}, 607, false, true},
      {SampleFormat::I16, 7, {0, 1, 2, 3, 4, 5, 6}, 609, false},
      {SampleFormat::I16, 8, {0, 1, 2, 3, 4, 5, 6, 7}, 1003, false, true},
      {SampleFormat::I16, 8, {7, 5, 3, 1}, 611, false, true},
      {SampleFormat::I16, 8, {0, 4}, 613, true, true},
      {SampleFormat::I16, 7, {6, 3, 0, 4, 1, 5, 2, 6}, 615, false, true},
      {SampleFormat::F32, 6, {0, 2, 4, 1, 3, 5}, 617, false},
      {SampleFormat::I16, 1, {0}, (std::size_t{1} << 23) + 1000, false},
  };
  std::uint32_t seed = 1;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (const auto& c : cases) {
    const std::string name = std::string(audio::sample_format_name(c.format)) + " " +
                             std::to_string(c.channels) + " ch, " + std::to_string(c.frames) +
                             " frames" + (c.due_after_write ? ", due after the write" : "");
    // Readings of the clock: the first of each buffer is before its pass.
    std::vector<Clock::time_point> readings = {Clock::time_point{}};
    auto clock = std::make_shared<LevelClock>([&readings] {
      const auto now = readings.front();
      if (readings.size() > 1) readings.erase(readings.begin());
      return now;
    });
    auto made = make_data_callback(
        c.format, CallbackSetup{c.selected, stop, clock, c.channels, nullptr}, sinks);
    ASSERT_TRUE(made.has_value()) << name;
    for (std::size_t frames : {c.frames, c.frames / 3}) {
      const std::size_t n = frames * c.channels + (c.channels > 1 ? 1 : 0);  // a partial frame
      std::vector<std::int16_t> converted(n);
      const auto run = [&]<class Sample>(auto make_sample) {
        std::vector<Sample> buffer(n);
        for (std::size_t i = 0; i < n; ++i) {
          buffer[i] = make_sample(i);
          converted[i] = to_i16(buffer[i]);
        }
        std::get<audio::DataCallback<Sample>> (*made)(buffer, audio::InputCallbackInfo{});
      };
      pcm.writes.clear();
      status.writes.clear();
      const auto before = readings.back() + (c.due_after_write ? 10ms : 60ms);
      readings = {before, before + 60ms};
      // A buffer that is the block already has no pass to measure in before
      // its write: its first reading is the one after.
      const bool own_block = c.format == SampleFormat::I16 && c.selected.size() == c.channels &&
                             std::is_sorted(c.selected.begin(), c.selected.end()) &&
                             c.selected.back() + 1 == c.channels;
      if (own_block) readings.erase(readings.begin());
      if (c.format == SampleFormat::F32) {
        const float specials[] = {NAN, INFINITY, -INFINITY, 1.5f, -1.0f};
        run.template operator()<float>([&](std::size_t i) {
          return i % 97 == 0 ? specials[i % 5]
                             : static_cast<float>(static_cast<std::int32_t>(next())) * 0x1p-31f;
        });
      } else if (c.format == SampleFormat::U16) {
        run.template operator()<std::uint16_t>(
            [&](std::size_t) { return static_cast<std::uint16_t>(next() >> 16); });
      } else if (c.frames > 1000000) {
        // Full scale, then samples too small to change a double sum that large.
        run.template operator()<std::int16_t>(
            [](std::size_t i) { return std::int16_t(i < (std::size_t{1} << 23) ? -32768 : 1); });
      } else {
        run.template operator()<std::int16_t>([&](std::size_t i) {
          return c.loud && i < n / 2 ? std::int16_t{-32768}
                                     : static_cast<std::int16_t>(next() >> 16);
        });
      }
      ASSERT_EQ(pcm.writes.size(), 1u) << name;
      ASSERT_EQ(pcm.writes[0].size(), 2 * frames * c.selected.size()) << name;
      for (std::size_t f = 0, at = 0; f < std::min<std::size_t>(frames, 2000); ++f) {
        for (const std::size_t channel : c.selected) {
          ASSERT_EQ(pcm.writes[0].substr(at, 2), le({converted[f * c.channels + channel]}))
              << name << ", frame " << f;
          at += 2;
        }
      }
      ASSERT_EQ(status.writes.size(), 1u) << name;
      EXPECT_EQ(status.writes[0],
                protocol::encode_line(compute_levels(converted, c.channels, c.selected)))
          << name;
    }
  }
}

// The data callback runs on the audio thread: once its first buffer and
// record have been made, neither a buffer nor a levels record allocates.
TEST_F(Callbacks, NothingIsAllocatedAfterTheFirstRecord) {
  struct Discard final : platform::Output {
    bool write_all(std::string_view) override { return true; }
  } discard;
  const Sinks quiet{discard, discard};
  const struct {
    audio::SampleFormat format;
    std::vector<std::size_t> selected;
  } cases[] = {
      {audio::SampleFormat::I16, {0, 1}},  // the delivered buffer is the block
      {audio::SampleFormat::I16, {1}},
      {audio::SampleFormat::F32, {0, 1}},
      {audio::SampleFormat::U16, {1, 0, 1}},
  };
  for (const auto& c : cases) {
    const auto callback =
        *make_data_callback(c.format, CallbackSetup{c.selected, stop, clock, 2, nullptr}, quiet);
    const auto one = [&](std::size_t samples) {
      time.now += 30ms;  // a record falls due every other buffer
      std::visit(
          [&]<class Sample>(const audio::DataCallback<Sample>& f) {
            // A signal, not silence: levels of many digits to print.
            static const auto signal = [] {
              std::array<Sample, 1920> a{};
              for (std::size_t i = 0; i < a.size(); ++i) {
                const auto v = static_cast<std::int32_t>(i * 7919 % 20000) - 10000;
                if constexpr (std::is_same_v<Sample, float>) {
                  a[i] = static_cast<float>(v) / 32768.0f;
                } else {
                  a[i] = static_cast<Sample>(std::is_signed_v<Sample> ? v : v + 32768);
                }
              }
              return a;
            }();
            f(std::span(signal).first(samples), audio::InputCallbackInfo{});
          },
          callback);
    };
    one(1920);
    one(1920);
    counting = true;
    allocations = 0;
    for (int k = 0; k < 8; ++k) one(k % 2 == 0 ? 1920 : 960);
    counting = false;
    EXPECT_EQ(allocations, 0u) << audio::sample_format_name(c.format) << " " << c.selected.size();
  }
}

TEST_F(Callbacks, NothingOnceStopped) {
  time.now += 60ms;  // a record would be due
  const auto f32 = make(audio::SampleFormat::F32, {0}, 1);
  const auto i16 = make(audio::SampleFormat::I16, {0}, 1);
  const auto u16 = make(audio::SampleFormat::U16, {0}, 1);
  stop->store(true);
  deliver<float>(f32, {0.5f});
  deliver<std::int16_t>(i16, {5});
  deliver<std::uint16_t>(u16, {5});
  EXPECT_TRUE(pcm.writes.empty());
  EXPECT_TRUE(status.writes.empty());
}

TEST_F(Callbacks, OnlyTheThreeDecodableFormats) {
  for (const auto format : audio::all_sample_formats) {
    const bool decodable = format == audio::SampleFormat::F32 ||
                           format == audio::SampleFormat::I16 || format == audio::SampleFormat::U16;
    EXPECT_EQ(
        make_data_callback(format, CallbackSetup{{0}, stop, clock, 1, nullptr}, sinks).has_value(),
        decodable)
        << audio::sample_format_name(format);
  }
}

}  // namespace
}  // namespace kestravo::samples
