// Arbitrary buffers of each stream format, channel counts and selections
// (duplicates, any order, even indices past the channel count) through the
// data callbacks. Every buffer must give exactly 2 x whole frames x selected
// bytes of PCM holding the selected samples in order, and each levels record
// must be one line with one rms and one peak per selected channel, within
// full scale; nothing after the stop flag is set. Run under AddressSanitizer,
// so no selection may read outside the buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "audio/audio.h"
#include "platform/output.h"
#include "samples/callback.h"
#include "samples/convert.h"

namespace {

namespace audio = kestravo::audio;
namespace samples = kestravo::samples;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "samples_fuzz: check failed: %s\n", what);
  std::abort();
}

class Recorder final : public kestravo::platform::Output {
 public:
  bool write_all(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return true;
  }
  std::vector<std::string> writes;
};

std::int16_t read_le(const std::string& bytes, std::size_t at) {
  const auto lo = static_cast<unsigned char>(bytes[at]);
  const auto hi = static_cast<unsigned char>(bytes[at + 1]);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
}

template <class Sample>
std::vector<Sample> buffer(FuzzedDataProvider& in, std::size_t length) {
  std::vector<Sample> out;
  out.reserve(length);
  for (std::size_t i = 0; i < length && in.remaining_bytes() > 0; ++i) {
    if constexpr (std::is_same_v<Sample, float>) {
      // Mostly in range, sometimes anything at all (NaN, infinities, huge).
      out.push_back(in.ConsumeBool() ? in.ConsumeFloatingPointInRange(-1.5f, 1.5f)
                                     : std::bit_cast<float>(in.ConsumeIntegral<std::uint32_t>()));
    } else {
      out.push_back(in.ConsumeIntegral<Sample>());
    }
  }
  return out;
}

void check_levels(const std::string& line, std::size_t selected) {
  check(!line.empty() && line.find('\n') == line.size() - 1, "a levels record is one line");
  const auto json = nlohmann::ordered_json::parse(line);
  check(json.at("type") == "levels", "a levels record");
  for (const char* key : {"rms", "peak"}) {
    const auto& values = json.at(key);
    check(values.is_array() && values.size() == selected, "one level per selected channel");
    for (const auto& value : values) {
      check(value.is_number(), "finite levels");
      const double level = value.get<double>();
      check(level >= 0.0 && level <= 1.0, "levels within full scale");
    }
  }
}

template <class Sample>
void run(FuzzedDataProvider& in, audio::SampleFormat format, std::size_t channel_count,
         const std::vector<std::size_t>& selected) {
  Recorder pcm;
  Recorder status;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  // A clock that jumps a whole interval at every reading: every buffer that
  // has a frame produces a levels record.
  auto ticks = std::make_shared<std::int64_t>(0);
  auto clock = std::make_shared<samples::LevelClock>([ticks] {
    *ticks += 1;
    return samples::LevelClock::Clock::time_point(samples::kLevelsInterval * *ticks);
  });
  const auto made = samples::make_data_callback(
      format, samples::CallbackSetup{selected, stop, clock, channel_count, nullptr},
      samples::Sinks{pcm, status});
  check(made.has_value(), "a callback for I16, U16 and F32");
  const auto& callback = std::get<audio::DataCallback<Sample>>(*made);

  const int buffers = in.ConsumeIntegralInRange(1, 8);
  const int stop_after = in.ConsumeIntegralInRange(0, 8);
  for (int b = 0; b < buffers; ++b) {
    if (b == stop_after) stop->store(true);
    const auto samples_in = buffer<Sample>(in, in.ConsumeIntegralInRange<std::size_t>(0, 600));
    const std::size_t pcm_before = pcm.writes.size();
    const std::size_t status_before = status.writes.size();
    callback(std::span<const Sample>(samples_in), audio::InputCallbackInfo{});

    const std::size_t frames = channel_count == 0 ? 0 : samples_in.size() / channel_count;
    if (b >= stop_after || frames == 0) {
      check(pcm.writes.size() == pcm_before && status.writes.size() == status_before,
            "nothing without a whole frame or after the stop");
      continue;
    }
    check(pcm.writes.size() == pcm_before + 1, "one PCM block per buffer");
    const std::string& block = pcm.writes.back();
    check(block.size() == 2 * frames * selected.size(), "2 x frames x selected bytes");
    std::size_t at = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      for (const std::size_t channel : selected) {
        // Capture never selects a channel past the count; for one that is,
        // only the bounds and the block size are promised.
        if (channel < channel_count) {
          check(read_le(block, at) ==
                    kestravo::samples::to_i16(samples_in[f * channel_count + channel]),
                "the selected sample, converted, in order");
        }
        at += 2;
      }
    }
    check(status.writes.size() == status_before + 1, "a levels record once the interval passed");
    check_levels(status.writes.back(), selected.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto format = in.PickValueInArray(audio::all_sample_formats);
  // Mostly small counts, sometimes a wide device; 0 must produce nothing.
  const std::size_t channel_count = in.ConsumeBool()
                                        ? in.ConsumeIntegralInRange<std::size_t>(0, 8)
                                        : in.ConsumeIntegralInRange<std::size_t>(0, 300);
  std::vector<std::size_t> selected(in.ConsumeIntegralInRange<std::size_t>(0, 24));
  for (auto& channel : selected) {
    // Within the channel count as capture guarantees, now and then past it.
    channel = in.ConsumeIntegralInRange<std::size_t>(0, channel_count + (in.ConsumeBool() ? 0 : 4));
    if (channel == channel_count && in.ConsumeBool()) channel = SIZE_MAX;
  }
  switch (format) {
    case audio::SampleFormat::I16:
      run<std::int16_t>(in, format, channel_count, selected);
      break;
    case audio::SampleFormat::U16:
      run<std::uint16_t>(in, format, channel_count, selected);
      break;
    case audio::SampleFormat::F32:
      run<float>(in, format, channel_count, selected);
      break;
    default:
      check(!samples::make_data_callback(format, samples::CallbackSetup{},
                                         [] {
                                           static Recorder sink;
                                           return samples::Sinks{sink, sink};
                                         }())
                 .has_value(),
            "no callback for other formats");
  }
  return 0;
}
