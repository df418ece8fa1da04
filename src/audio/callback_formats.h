// The sample formats a stream can be built with: one per alternative of
// InputDataCallback, with its element type and size. Hosts, the capture's
// choice of format and the data callbacks all read this one table, so a
// format added to the variant is added everywhere at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
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

template <class Callback>
struct FirstArgument;
template <class Sample>
struct FirstArgument<DataCallback<Sample>> {
  using type = Sample;
};

template <class Sample, std::size_t... index>
constexpr std::size_t callback_index(std::index_sequence<index...>) {
  std::size_t found = sizeof...(index);
  ((std::is_same_v<DataCallback<Sample>, std::variant_alternative_t<index, InputDataCallback>>
        ? (found = index)
        : found),
   ...);
  return found;
}

}  // namespace detail

// The table entry of callbacks over `Sample`.
template <class Sample>
inline constexpr CallbackFormat callback_format_of =
    kCallbackFormats[detail::callback_index<Sample>(
        std::make_index_sequence<std::variant_size_v<InputDataCallback>>())];

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

// Calls `visit.template operator()<Sample>()` with the element type of
// `format`'s callbacks and returns what it returns; none for a format no
// callback takes.
template <class Visit>
auto with_callback_sample(SampleFormat format, Visit&& visit)
    -> std::optional<decltype(visit.template operator()<float>())> {
  using Result = decltype(visit.template operator()<float>());
  std::optional<Result> result;
  [&]<std::size_t... index>(std::index_sequence<index...>) {
    ((kCallbackFormats[index].format == format
          ? (result.emplace(visit.template operator()<typename detail::FirstArgument<
                                std::variant_alternative_t<index, InputDataCallback>>::type>()),
             0)
          : 0),
     ...);
  }
  (std::make_index_sequence<kCallbackFormats.size()>());
  return result;
}

// The table and the variant agree, alternative by alternative.
static_assert(std::variant_size_v<InputDataCallback> == kCallbackFormats.size());
static_assert([]<std::size_t... index>(std::index_sequence<index...>) {
  return ((sizeof(typename detail::FirstArgument<
                  std::variant_alternative_t<index, InputDataCallback>>::type) ==
           kCallbackFormats[index].sample_bytes) &&
          ...);
}(std::make_index_sequence<kCallbackFormats.size()>()));
static_assert(callback_format_of<float>.format == SampleFormat::F32);
static_assert(callback_format_of<std::int16_t>.format == SampleFormat::I16);
static_assert(callback_format_of<std::uint16_t>.format == SampleFormat::U16);

}  // namespace kestravo::audio
