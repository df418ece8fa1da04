#include "samples/buffer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// AVX2 where the processor has it, chosen when the program runs.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__)
#define KESTRAVO_METER_AVX2 1
#include <immintrin.h>
#else
#define KESTRAVO_METER_AVX2 0
#endif

#include "samples/convert.h"

namespace kestravo::samples {

namespace {

constexpr double kScale = 1.0 / 32768.0;  // exact: a power of two

// The sample as it stands on the wire: little-endian, whatever the machine.
std::uint16_t wire(std::int16_t sample) {
  const auto bits = static_cast<std::uint16_t>(sample);
  if constexpr (std::endian::native == std::endian::little) return bits;
  return std::byteswap(bits);
}

// A column of at most this many samples has its squares summed as integers.
// A square of a 16-bit sample, scaled, is exact in double precision, and
// below this length every partial sum stays under 2^53 of the squares' unit
// 2^-30, so the double sum in sample order never rounds: it equals the
// integer sum, scaled. Longer columns are summed in double, in sample order.
constexpr std::size_t kExactFrames = std::size_t{1} << 23;

// The sums of squares and the largest magnitudes of the selected columns,
// each column measured one sample after another, in sample order.
template <class Sum>
class Meter {
 public:
  Meter(std::vector<Sum>& sums, std::vector<std::uint32_t>& peaks, std::size_t columns) {
    // No allocation once the capacity is there; from the second record on
    // the sizes are right already.
    sums.resize(columns);
    peaks.resize(columns);
    std::fill(sums.begin(), sums.end(), Sum{0});
    std::fill(peaks.begin(), peaks.end(), 0);
    sums_ = sums;
    peaks_ = peaks;
  }

  static void add(Sum& sum, std::uint32_t& peak, std::int16_t sample) {
    const std::int32_t value = sample;
    if constexpr (std::is_same_v<Sum, std::uint64_t>) {
      sum += static_cast<std::uint64_t>(value * value);
    } else {
      const double x = value * kScale;
      sum += x * x;
    }
    peak = std::max(peak, static_cast<std::uint32_t>(std::abs(value)));
  }

  void add(std::size_t column, std::int16_t sample) { add(sums_[column], peaks_[column], sample); }

  void set(std::size_t column, Sum sum, std::uint32_t peak) {
    sums_[column] = sum;
    peaks_[column] = peak;
  }

  // Into `out`, whose storage is kept from record to record.
  void levels(std::size_t frames, protocol::LevelsRecord& out) const {
    out.rms.resize(sums_.size());
    out.peak.resize(peaks_.size());
    const auto count = static_cast<double>(std::max<std::size_t>(frames, 1));
    for (std::size_t j = 0; j < sums_.size(); ++j) {
      double scaled = 0.0;
      if constexpr (std::is_same_v<Sum, std::uint64_t>) {
        scaled = static_cast<double>(sums_[j]) * (kScale * kScale);
      } else {
        scaled = sums_[j];
      }
      out.rms[j] = std::sqrt(scaled / count);
    }
    for (std::size_t j = 0; j < peaks_.size(); ++j) out.peak[j] = peaks_[j] * kScale;
  }

 private:
  std::span<Sum> sums_;
  std::span<std::uint32_t> peaks_;
};

struct NoMeter {
  void add(std::size_t, std::int16_t) {}
};

// Whether every selected channel is inside the frame, as capture ensures.
bool all_inside(std::span<const std::size_t> selected, std::size_t channel_count) {
  return std::all_of(selected.begin(), selected.end(),
                     [channel_count](std::size_t channel) { return channel < channel_count; });
}

bool every_channel_in_order(std::span<const std::size_t> selected, std::size_t channel_count) {
  if (selected.size() != channel_count) return false;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    if (selected[i] != i) return false;
  }
  return true;
}

// Whole frames, every channel: the block is the buffer converted. In runs
// of a fixed length between pointers that do not overlap, which the
// compiler turns into vector instructions at -O2.
template <class Sample>
void convert_run(const Sample* __restrict in, std::uint16_t* __restrict out, std::size_t count) {
  constexpr std::size_t kRun = 16;
  std::size_t i = 0;
  for (; i + kRun <= count; i += kRun) {
    for (std::size_t k = 0; k < kRun; ++k) out[i + k] = wire(to_i16(in[i + k]));
  }
  for (; i < count; ++i) out[i] = wire(to_i16(in[i]));
}

// The selected columns of `frames` whole frames when some selected channel
// lies outside the frame (capture never selects one): each sample converted,
// measured on `meter` and, when `out` is not null, appended to `out` in wire
// order.
template <class Sample, class Measure>
void walk_outside(std::span<const Sample> samples, std::size_t channel_count,
                  std::span<const std::size_t> selected, std::size_t frames, std::uint16_t* out,
                  Measure& meter) {
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t j = 0; j < selected.size(); ++j) {
      const std::size_t position = f * channel_count + selected[j];
      const std::int16_t sample =
          position < samples.size() ? to_i16(samples[position]) : std::int16_t{0};
      if (out != nullptr) *out++ = wire(sample);
      meter.add(j, sample);
    }
  }
}

// Converts and interleaves the selected columns of `frames` whole frames
// into `out`, in wire order: frames * selected.size() samples. `out` is
// deliberately not a char pointer: char stores may alias anything, which
// would make the compiler reload the indices after every sample.
template <class Sample>
void build_block(std::span<const Sample> samples, std::size_t channel_count,
                 std::span<const std::size_t> selected, std::size_t frames, std::uint16_t* out) {
  if (!all_inside(selected, channel_count)) {
    NoMeter none;
    walk_outside(samples, channel_count, selected, frames, out, none);
    return;
  }
  if (every_channel_in_order(selected, channel_count)) {
    convert_run(samples.data(), out, frames * channel_count);
    return;
  }
  const Sample* frame = samples.data();
  if (selected.size() == 1) {
    const std::size_t channel = selected[0];
    for (std::size_t f = 0; f < frames; ++f, frame += channel_count) {
      *out++ = wire(to_i16(frame[channel]));
    }
    return;
  }
  for (std::size_t f = 0; f < frames; ++f, frame += channel_count) {
    for (const std::size_t channel : selected) *out++ = wire(to_i16(frame[channel]));
  }
}

// One selected column of the block (every selected column inside the
// frame), built and measured in one pass down the column: its sum and its
// peak stay in registers.
template <bool kWrite, class Sum, class Sample>
void column_pass(std::span<const Sample> samples, std::size_t channel_count, std::size_t channel,
                 std::size_t frames, std::uint16_t* out, std::size_t out_stride, Sum& sum,
                 std::uint32_t& peak) {
  for (std::size_t f = 0; f < frames; ++f) {
    const std::int16_t sample = to_i16(samples[f * channel_count + channel]);
    if constexpr (kWrite) out[f * out_stride] = wire(sample);
    Meter<Sum>::add(sum, peak, sample);
  }
}

// The integer sums of squares and the peaks of the K columns of `frames`
// frames of K native samples, in one pass down the frames: the sums and the
// peaks stay in registers, and the columns side by side make vector lanes.
// Integer sums do not depend on the order of the additions.
template <std::size_t K>
void meter_frames(const std::int16_t* frames_in, std::size_t frames, std::uint64_t* sums,
                  std::uint32_t* peaks) {
  std::array<std::uint64_t, K> sum{};
  std::array<std::int32_t, K> peak{};
  for (std::size_t f = 0; f < frames; ++f, frames_in += K) {
    for (std::size_t j = 0; j < K; ++j) {
      const std::int32_t value = frames_in[j];
      sum[j] += static_cast<std::uint32_t>(value * value);
      const std::int32_t magnitude = value < 0 ? -value : value;
      peak[j] = magnitude > peak[j] ? magnitude : peak[j];
    }
  }
  for (std::size_t j = 0; j < K; ++j) {
    sums[j] = sum[j];
    peaks[j] = static_cast<std::uint32_t>(peak[j]);
  }
}

// The end of meter_vectors and meter_wide_vectors: from the sums kept in
// 64-bit parts of the vectors (`pairs`, each the lower 32-bit lane's sum +
// 2^32 * the upper lane's, and `upper`, the upper lane's sum; [0] of the
// lower halves' squares, [1] of the upper halves') and the largest and
// smallest samples of each channel (fold_extremes: lane q of `highs` and
// `lows` for channel q < K), the sums and peaks of the K columns, with the
// samples from `from` on measured one frame after another. In every 128-bit
// half, 32-bit lane i holds channel i % K of the lower halves' squares and
// (4 + i) % K of the upper halves'.
template <std::size_t K, std::size_t kParts>
void finish_columns(const std::array<std::uint64_t, kParts> (&pairs)[2],
                    const std::array<std::uint64_t, kParts> (&upper)[2],
                    const std::array<std::int16_t, 8>& highs,
                    const std::array<std::int16_t, 8>& lows, const std::int16_t* block,
                    std::size_t from, std::size_t frames, std::uint64_t* sums,
                    std::uint32_t* peaks) {
  std::array<std::uint64_t, K> sum{};
  std::array<std::int32_t, K> peak{};
  for (std::size_t half = 0; half < 2; ++half) {
    for (std::size_t part = 0; part < kParts; ++part) {
      const std::uint64_t upper_sum = upper[half][part];
      const std::size_t lane = 2 * part % 4;  // the lower of the part's two
      sum[(4 * half + lane) % K] += pairs[half][part] - (upper_sum << 32);
      sum[(4 * half + lane + 1) % K] += upper_sum;
    }
  }
  for (std::size_t j = 0; j < K; ++j) {
    peak[j] = std::max({0, std::int32_t{highs[j]}, -std::int32_t{lows[j]}});
  }
  for (const std::int16_t* f = block + from; f < block + frames * K; f += K) {
    for (std::size_t j = 0; j < K; ++j) {
      const std::int32_t value = f[j];
      sum[j] += static_cast<std::uint32_t>(value * value);
      peak[j] = std::max(peak[j], value < 0 ? -value : value);
    }
  }
  for (std::size_t j = 0; j < K; ++j) {
    sums[j] = sum[j];
    peaks[j] = static_cast<std::uint32_t>(peak[j]);
  }
}

#if defined(__SSE2__)
// The largest and smallest samples of each channel, from those of the eight
// sample lanes (lane q holds channel q % K, K dividing 8): each lane is
// joined with the lanes 4, 2 and 1 away while they hold the same channel,
// so that lane q < K ends with channel q's. A channel without samples keeps
// the starting values, INT16_MIN and INT16_MAX.
template <std::size_t K>
void fold_extremes(__m128i high, __m128i low, std::array<std::int16_t, 8>& highs,
                   std::array<std::int16_t, 8>& lows) {
  if constexpr (4 % K == 0) {
    high = _mm_max_epi16(high, _mm_shuffle_epi32(high, _MM_SHUFFLE(1, 0, 3, 2)));
    low = _mm_min_epi16(low, _mm_shuffle_epi32(low, _MM_SHUFFLE(1, 0, 3, 2)));
  }
  if constexpr (2 % K == 0) {
    high = _mm_max_epi16(high, _mm_shuffle_epi32(high, _MM_SHUFFLE(2, 3, 0, 1)));
    low = _mm_min_epi16(low, _mm_shuffle_epi32(low, _MM_SHUFFLE(2, 3, 0, 1)));
  }
  if constexpr (K == 1) {
    high = _mm_max_epi16(high, _mm_srli_epi32(high, 16));
    low = _mm_min_epi16(low, _mm_srli_epi32(low, 16));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(highs.data()), high);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lows.data()), low);
}

// meter_frames for a channel count K that divides 8, two vectors of eight
// samples at a time. Sample q of either vector belongs to channel q % K, so
// interleaving the two vectors' samples puts two samples of one channel side
// by side, and pmaddwd gives their two squares summed in one 32-bit lane:
// lane i of the lower halves' sums holds samples i (channel i % K), of the
// upper halves' samples 4 + i. Such a sum (at most 2^31) is added at once
// into 64-bit sums that keep each pair of lanes as one 64-bit number, with
// the upper lane's sum beside it, from which the lower lane's sum is taken
// back, exactly, at the end. The peak is the larger of the largest sample
// and the smallest one negated. Integer sums do not depend on the order of
// the additions, so every result is the scalar meter's.
template <std::size_t K>
void meter_vectors(const std::int16_t* block, std::size_t frames, std::uint64_t* sums,
                   std::uint32_t* peaks) {
  static_assert(8 % K == 0);
  constexpr std::size_t kStep = 16;  // samples: two vectors
  const std::size_t steps = frames * K / kStep;
  const __m128i zero = _mm_setzero_si128();
  // Per half: the lower lane's sum + 2^32 * the upper lane's, and the upper
  // lane's sum; of the lower and of the upper halves of the vectors.
  __m128i lower_pairs = zero;
  __m128i lower_upper = zero;
  __m128i upper_pairs = zero;
  __m128i upper_upper = zero;
  __m128i high = _mm_set1_epi16(INT16_MIN);
  __m128i low = _mm_set1_epi16(INT16_MAX);
  const auto* in = reinterpret_cast<const __m128i*>(block);
  const auto* const end = in + 2 * steps;
  const auto add = [](__m128i& pairs, __m128i& upper, __m128i squares) {
    pairs = _mm_add_epi64(pairs, squares);
    upper = _mm_add_epi64(upper, _mm_srli_epi64(squares, 32));
  };
  for (; in != end; in += 2) {
    const __m128i x0 = _mm_loadu_si128(in);
    const __m128i x1 = _mm_loadu_si128(in + 1);
    high = _mm_max_epi16(_mm_max_epi16(high, x0), x1);
    low = _mm_min_epi16(_mm_min_epi16(low, x0), x1);
    const __m128i lower = _mm_unpacklo_epi16(x0, x1);
    const __m128i upper = _mm_unpackhi_epi16(x0, x1);
    add(lower_pairs, lower_upper, _mm_madd_epi16(lower, lower));
    add(upper_pairs, upper_upper, _mm_madd_epi16(upper, upper));
  }
  std::array<std::uint64_t, 2> pairs[2];
  std::array<std::uint64_t, 2> upper[2];
  std::array<std::int16_t, 8> highs;
  std::array<std::int16_t, 8> lows;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs[0].data()), lower_pairs);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(upper[0].data()), lower_upper);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs[1].data()), upper_pairs);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(upper[1].data()), upper_upper);
  fold_extremes<K>(high, low, highs, lows);
  finish_columns<K>(pairs, upper, highs, lows, block, steps * kStep, frames, sums, peaks);
}
#endif

#if KESTRAVO_METER_AVX2
// meter_vectors at twice the width, where the processor has AVX2: the same
// pairing in each 128-bit half of two vectors of sixteen samples.
template <std::size_t K>
__attribute__((target("avx2"))) void meter_wide_vectors(const std::int16_t* block,
                                                        std::size_t frames, std::uint64_t* sums,
                                                        std::uint32_t* peaks) {
  static_assert(8 % K == 0);
  constexpr std::size_t kStep = 32;  // samples: two vectors
  const std::size_t steps = frames * K / kStep;
  const __m256i zero = _mm256_setzero_si256();
  __m256i lower_pairs = zero;
  __m256i lower_upper = zero;
  __m256i upper_pairs = zero;
  __m256i upper_upper = zero;
  __m256i high = _mm256_set1_epi16(INT16_MIN);
  __m256i low = _mm256_set1_epi16(INT16_MAX);
  const auto* in = reinterpret_cast<const __m256i*>(block);
  const auto* const end = in + 2 * steps;
  for (; in != end; in += 2) {
    const __m256i x0 = _mm256_loadu_si256(in);
    const __m256i x1 = _mm256_loadu_si256(in + 1);
    high = _mm256_max_epi16(_mm256_max_epi16(high, x0), x1);
    low = _mm256_min_epi16(_mm256_min_epi16(low, x0), x1);
    const __m256i lower = _mm256_unpacklo_epi16(x0, x1);
    const __m256i upper = _mm256_unpackhi_epi16(x0, x1);
    const __m256i lower_squares = _mm256_madd_epi16(lower, lower);
    const __m256i upper_squares = _mm256_madd_epi16(upper, upper);
    lower_pairs = _mm256_add_epi64(lower_pairs, lower_squares);
    lower_upper = _mm256_add_epi64(lower_upper, _mm256_srli_epi64(lower_squares, 32));
    upper_pairs = _mm256_add_epi64(upper_pairs, upper_squares);
    upper_upper = _mm256_add_epi64(upper_upper, _mm256_srli_epi64(upper_squares, 32));
  }
  std::array<std::uint64_t, 4> pairs[2];
  std::array<std::uint64_t, 4> upper[2];
  std::array<std::int16_t, 8> highs;
  std::array<std::int16_t, 8> lows;
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs[0].data()), lower_pairs);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(upper[0].data()), lower_upper);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(pairs[1].data()), upper_pairs);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(upper[1].data()), upper_upper);
  // Sample lanes q and 8 + q hold the same channel.
  fold_extremes<K>(_mm_max_epi16(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1)),
                   _mm_min_epi16(_mm256_castsi256_si128(low), _mm256_extracti128_si256(low, 1)),
                   highs, lows);
  finish_columns<K>(pairs, upper, highs, lows, block, steps * kStep, frames, sums, peaks);
}

std::atomic<bool> wide_vectors_allowed{true};

bool use_wide_vectors() {
  static const bool present = __builtin_cpu_supports("avx2") != 0;
  return present && wide_vectors_allowed.load(std::memory_order_relaxed);
}
#endif

// The sums and peaks of the K columns of `frames` frames: meter_vectors
// where the vector unit is there for certain and K suits it, else
// meter_frames.
template <std::size_t K>
void meter_columns(const std::int16_t* block, std::size_t frames, std::uint64_t* sums,
                   std::uint32_t* peaks) {
#if defined(__SSE2__)
  if constexpr (8 % K == 0) {
#if KESTRAVO_METER_AVX2
    if (use_wide_vectors()) {
      meter_wide_vectors<K>(block, frames, sums, peaks);
      return;
    }
#endif
    meter_vectors<K>(block, frames, sums, peaks);
    return;
  }
#endif
  meter_frames<K>(block, frames, sums, peaks);
}

// meter_columns for the channel counts that have one; false for the rest.
bool meter_block(const std::int16_t* block, std::size_t frames, std::size_t columns,
                 std::uint64_t* sums, std::uint32_t* peaks) {
  switch (columns) {
    case 1:
      meter_columns<1>(block, frames, sums, peaks);
      return true;
    case 2:
      meter_columns<2>(block, frames, sums, peaks);
      return true;
    case 4:
      meter_columns<4>(block, frames, sums, peaks);
      return true;
    case 6:
      meter_columns<6>(block, frames, sums, peaks);
      return true;
    case 8:
      meter_columns<8>(block, frames, sums, peaks);
      return true;
    default:
      return false;
  }
}

template <class Sum, class Sample>
void measure(std::span<const Sample> samples, std::size_t channel_count,
             std::span<const std::size_t> selected, std::size_t frames, std::uint16_t* out,
             std::vector<Sum>& sums, Workspace& workspace) {
  Meter<Sum> meter(sums, workspace.peaks, selected.size());
  if (!all_inside(selected, channel_count)) {
    walk_outside(samples, channel_count, selected, frames, out, meter);
    meter.levels(frames, workspace.levels);
    return;
  }
  if constexpr (std::is_same_v<Sum, std::uint64_t> && std::endian::native == std::endian::little) {
    // The block (or a buffer that is its own block) holds the columns side
    // by side already, in native order.
    const std::int16_t* block = nullptr;
    if (out != nullptr) {
      build_block(samples, channel_count, selected, frames, out);
      block = reinterpret_cast<const std::int16_t*>(out);
    } else if constexpr (std::is_same_v<Sample, std::int16_t>) {
      if (every_channel_in_order(selected, channel_count)) block = samples.data();
    }
    if (block != nullptr &&
        meter_block(block, frames, selected.size(), sums.data(), workspace.peaks.data())) {
      meter.levels(frames, workspace.levels);
      return;
    }
    out = nullptr;  // any block is built already: only the levels are left
  }
  for (std::size_t j = 0; j < selected.size(); ++j) {
    Sum sum{0};
    std::uint32_t peak = 0;
    if (out != nullptr) {
      column_pass<true>(samples, channel_count, selected[j], frames, out + j, selected.size(), sum,
                        peak);
    } else {
      column_pass<false>(samples, channel_count, selected[j], frames, out, 0, sum, peak);
    }
    meter.set(j, sum, peak);
  }
  meter.levels(frames, workspace.levels);
}

// The walk with the levels of the selected columns measured on the way.
template <class Sample>
void walk_measuring(std::span<const Sample> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, std::size_t frames, std::uint16_t* out,
                    Workspace& workspace) {
  if (frames <= kExactFrames) {
    measure(samples, channel_count, selected, frames, out, workspace.exact_sums, workspace);
  } else {
    measure(samples, channel_count, selected, frames, out, workspace.rounded_sums, workspace);
  }
}

bool levels_due(LevelClock& clock) {
  return clock.now() - clock.last.load(std::memory_order_relaxed) >= kLevelsInterval;
}

// Holds LevelClock::claimed, if it was free, for the guard's lifetime.
class LevelsClaim {
 public:
  explicit LevelsClaim(LevelClock& clock)
      : clock_(clock), held_(!clock.claimed.test_and_set(std::memory_order_acquire)) {}
  ~LevelsClaim() {
    if (held_) clock_.claimed.clear(std::memory_order_release);
  }
  LevelsClaim(const LevelsClaim&) = delete;
  LevelsClaim& operator=(const LevelsClaim&) = delete;

  bool held() const { return held_; }

 private:
  LevelClock& clock_;
  bool held_;
};

template <class Sample>
void process(std::span<const Sample> samples, std::size_t channel_count,
             std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
             Workspace& workspace) {
  if (channel_count == 0 || samples.size() < channel_count) return;
  const std::size_t frames = samples.size() / channel_count;
  const std::size_t count = frames * selected.size();
  const std::size_t frame_bytes = selected.size() * sizeof(std::int16_t);

  // A record that is due already is measured in the pass that builds the
  // block. One that falls due while the block is written (rarely), or a
  // buffer that is its own block, takes a pass of its own below.
  bool measured = false;  // into workspace.levels
  // The whole block at once, in whole frames: the PCM ends on a frame
  // whenever the process ends. On a pipe the write never waits for a slow
  // reader (platform::PcmOutput), so the levels below keep their pace. The descriptor
  // is unbuffered, so this is also the flush. A failure (the reader has
  // gone) loses this block only.
  if (std::is_same_v<Sample, std::int16_t> && std::endian::native == std::endian::little &&
      every_channel_in_order(selected, channel_count)) {
    // The whole frames are the block already: no copy, which at 32 channels
    // of an unpaced device costs as much as the pipe.
    sinks.pcm.write_units(std::string_view(reinterpret_cast<const char*>(samples.data()),
                                           count * sizeof(std::int16_t)),
                          frame_bytes);
  } else {
    if (workspace.block.size() < count) workspace.block.resize(count);
    std::uint16_t* block = workspace.block.data();
    if (levels_due(clock)) {
      walk_measuring(samples, channel_count, selected, frames, block, workspace);
      measured = true;
    } else {
      build_block(samples, channel_count, selected, frames, block);
    }
    sinks.pcm.write_units(
        std::string_view(reinterpret_cast<const char*>(block), count * sizeof(std::uint16_t)),
        frame_bytes);
  }

  const LevelsClaim claim(clock);
  if (!claim.held()) return;
  // A fresh reading, taken after the PCM write: the next record is due
  // kLevelsInterval after this one is made, not after the buffer arrived.
  const auto now = clock.now();
  if (now - clock.last.load(std::memory_order_relaxed) < kLevelsInterval) return;
  clock.last.store(now, std::memory_order_relaxed);
  if (!measured) {
    walk_measuring(samples, channel_count, selected, frames, nullptr, workspace);
  }
  // Offered, not written: a parent that does not drain standard error loses
  // levels records, never audio.
  protocol::encode_line(workspace.levels, workspace.line);
  sinks.status.try_write(workspace.line);
}

}  // namespace

void allow_wide_meter(bool allowed) {
#if KESTRAVO_METER_AVX2
  wide_vectors_allowed.store(allowed, std::memory_order_relaxed);
#else
  static_cast<void>(allowed);
#endif
}

void process_buffer(std::span<const std::int16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace) {
  process(samples, channel_count, selected, clock, sinks, workspace);
}

void process_buffer(std::span<const std::uint16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace) {
  process(samples, channel_count, selected, clock, sinks, workspace);
}

void process_buffer(std::span<const float> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace) {
  process(samples, channel_count, selected, clock, sinks, workspace);
}

}  // namespace kestravo::samples
