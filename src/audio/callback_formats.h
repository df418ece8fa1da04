// The sample formats a stream can be built with: one per alternative of
// InputDataCallback, with its element type and size. Hosts, the capture's
// choice of format and the data callbacks all read this one table instead of
// naming the formats or the variant's order themselves; the checks at the
// end fail the build when the table and the variant part.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

#include "audio/audio.h"

namespace kestravo::audio {

struct CallbackFormat {
  SampleFormat format;
  std::size_t sample_bytes;
};

// In the order of InputDataCallback's alternatives.
inline constexpr std::array<CallbackFormat, 3> kCallbackFormats = {{
    {SampleFormat::F32, sizeof(float)},
    {SampleFormat::I16, sizeof(std::int16_t)},
    {SampleFormat::U16, sizeof(std::uint16_t)},
}};

namespace detail {

// The element type of one of InputDataCallback's alternatives.
template <class Callback>
struct ElementOf;
template <class Sample>
struct ElementOf<DataCallback<Sample>> {
  using type = Sample;
};
template <std::size_t index>
using Element = typename ElementOf<std::variant_alternative_t<index, InputDataCallback>>::type;

template <class Sample, std::size_t... index>
constexpr std::size_t callback_index(std::index_sequence<index...>) {
  const bool matches[] = {std::is_same_v<Sample, Element<index>>...};
  for (std::size_t i = 0; i < sizeof...(index); ++i) {
    if (matches[i]) return i;
  }
  return sizeof...(index);
}

template <std::size_t... index>
constexpr bool sizes_agree(std::index_sequence<index...>) {
  return ((sizeof(Element<index>) == kCallbackFormats[index].sample_bytes) && ...);
}

template <class Visit, std::size_t... index>
auto with_callback_sample(SampleFormat format, Visit& visit, std::index_sequence<index...>)
    -> std::optional<decltype(visit(std::type_identity<float>()))> {
  std::optional<decltype(visit(std::type_identity<float>()))> result;
  const auto try_one = [&](auto element, std::size_t at) {
    if (kCallbackFormats[at].format == format) result.emplace(visit(element));
  };
  (try_one(std::type_identity<Element<index>>(), index), ...);
  return result;
}

using Indices = std::make_index_sequence<kCallbackFormats.size()>;

}  // namespace detail

// The table entry of callbacks over `Sample`.
template <class Sample>
inline constexpr CallbackFormat callback_format_of =
    kCallbackFormats[detail::callback_index<Sample>(detail::Indices())];

// The table entry of a callback's alternative.
inline CallbackFormat callback_format(const InputDataCallback& callback) {
  return kCallbackFormats[callback.index()];
}

// The table entry of `format`; none for a format no callback takes, which
// the program cannot decode.
constexpr std::optional<CallbackFormat> callback_format(SampleFormat format) {
  for (const auto& entry : kCallbackFormats) {
    if (entry.format == format) return entry;
  }
  return std::nullopt;
}

constexpr bool decodable(SampleFormat format) { return callback_format(format).has_value(); }

// Calls `visit(std::type_identity<Sample>())` with the element type of
// `format`'s callbacks and returns what it returns; none for a format no
// callback takes.
template <class Visit>
auto with_callback_sample(SampleFormat format, Visit&& visit) {
  return detail::with_callback_sample(format, visit, detail::Indices());
}

// Hands `frames` whole interleaved frames of `channels` at `bytes` (samples
// of the callback's own type, aligned for it) to the callback, stamped as
// captured over the `frames` / `rate` seconds up to now.
inline void deliver_frames(const InputDataCallback& callback, const void* bytes, std::size_t frames,
                           std::size_t channels, std::uint32_t rate) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  const auto span = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / rate));
  std::visit(
      [&]<class Sample>(const DataCallback<Sample>& typed) {
        typed(std::span<const Sample>(static_cast<const Sample*>(bytes), frames * channels),
              InputCallbackInfo{now, now - span});
      },
      callback);
}

// The table and the variant agree, alternative by alternative.
static_assert(std::variant_size_v<InputDataCallback> == kCallbackFormats.size());
static_assert(detail::sizes_agree(detail::Indices()));
static_assert(callback_format_of<float>.format == SampleFormat::F32);
static_assert(callback_format_of<std::int16_t>.format == SampleFormat::I16);
static_assert(callback_format_of<std::uint16_t>.format == SampleFormat::U16);

}  // namespace kestravo::audio
