// The cost of one delivered buffer on the data thread: conversion, channel
// selection and PCM encoding, against a plain copy of the same buffer.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRAVO_BUILD_TESTS=OFF
//   cmake --build build-bench --target sample_path_bench && build-bench/bench/sample_path_bench
//
// items_per_second counts input samples (all device channels); x_memcpy is
// the time per buffer divided by the time of a memcpy of that buffer,
// measured in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "samples/callback.h"

namespace kestravo::samples {
namespace {

using Clock = std::chrono::steady_clock;

class DiscardingOutput final : public platform::Output {
 public:
  bool write_all(std::string_view bytes) override {
    benchmark::DoNotOptimize(bytes.data());
    return true;
  }
};

template <class Sample>
std::vector<Sample> make_input(std::size_t count) {
  std::mt19937 random(1234);
  std::vector<Sample> input(count);
  for (auto& sample : input) {
    if constexpr (std::is_floating_point_v<Sample>) {
      sample = std::uniform_real_distribution<float>(-1.1f, 1.1f)(random);
    } else {
      sample = static_cast<Sample>(random());
    }
  }
  return input;
}

template <class Sample>
void sample_path(benchmark::State& state, audio::SampleFormat format, std::size_t channels,
                 std::vector<std::size_t> selected, bool levels = false) {
  const auto frames = static_cast<std::size_t>(state.range(0));
  const std::vector<Sample> input = make_input<Sample>(frames * channels);
  DiscardingOutput pcm, status;
  // A clock that never moves: no levels record falls due, so the figure is
  // the per-buffer path alone. With `levels`, one that leaps a levels
  // interval at every reading: every buffer is measured as well.
  auto now = [start = Clock::now(), levels, ticks = std::int64_t{0}]() mutable {
    return levels ? start + kLevelsInterval * ++ticks : start;
  };
  CallbackSetup capture{std::move(selected), std::make_shared<std::atomic<bool>>(false),
                        std::make_shared<LevelClock>(now), channels, nullptr};
  const auto callback =
      std::get<audio::DataCallback<Sample>>(*make_data_callback(format, capture, {pcm, status}));
  const std::span<const Sample> buffer(input);

  const auto path_start = Clock::now();
  for (auto _ : state) {
    callback(buffer, audio::InputCallbackInfo{});
    benchmark::ClobberMemory();
  }
  const auto path_time = Clock::now() - path_start;

  std::vector<Sample> copy(input.size());
  const auto copy_start = Clock::now();
  for (benchmark::IterationCount i = 0; i < state.iterations(); ++i) {
    std::memcpy(copy.data(), input.data(), input.size() * sizeof(Sample));
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  const auto copy_time = Clock::now() - copy_start;

  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
  state.counters["x_memcpy"] = static_cast<double>(path_time.count()) /
                               static_cast<double>(std::max<Clock::rep>(copy_time.count(), 1));
  state.counters["memcpy_ns"] = std::chrono::duration<double, std::nano>(copy_time).count() /
                                static_cast<double>(state.iterations());
}

void f32_stereo_of_stereo(benchmark::State& state) {
  sample_path<float>(state, audio::SampleFormat::F32, 2, {0, 1});
}
void f32_8ch_levels(benchmark::State& state) {
  sample_path<float>(state, audio::SampleFormat::F32, 8, {0, 1, 2, 3, 4, 5, 6, 7}, true);
}
void i16_2_of_8(benchmark::State& state) {
  sample_path<std::int16_t>(state, audio::SampleFormat::I16, 8, {2, 5});
}
void u16_1_of_64(benchmark::State& state) {
  sample_path<std::uint16_t>(state, audio::SampleFormat::U16, 64, {10});
}

BENCHMARK(f32_stereo_of_stereo)->Arg(480)->Arg(4096);
BENCHMARK(f32_8ch_levels)->Arg(1920);
BENCHMARK(i16_2_of_8)->Arg(480)->Arg(4096);
BENCHMARK(u16_1_of_64)->Arg(480)->Arg(4096);

}  // namespace
}  // namespace kestravo::samples

BENCHMARK_MAIN();
