#include "capture/choose.h"

#include <gtest/gtest.h>

#include "capture/mixed_device.h"
#include "protocol/records.h"
#include "support/texts.h"

namespace kestravo::capture {
namespace {

using audio::SampleFormat;
using audio::SupportedStreamConfig;
using audio::SupportedStreamConfigRange;
using audio::SupportedStreamConfigsError;

SupportedStreamConfigRange range(std::uint16_t channels, std::uint32_t min, std::uint32_t max,
                                 SampleFormat format = SampleFormat::F32) {
  return {channels, min, max, {}, format};
}

SupportedStreamConfig fallback(std::uint16_t channels, std::uint32_t rate,
                               SampleFormat format = SampleFormat::F32) {
  return {channels, rate, {}, format};
}

CaptureRequest request(std::vector<std::uint64_t> channels,
                       std::optional<std::uint32_t> rate = std::nullopt) {
  return {"Mic", std::move(channels), rate};
}

StreamChoice chosen(std::uint16_t channels, std::uint32_t rate, SampleFormat format) {
  return {{channels, rate, std::nullopt}, format};
}

SetupError failed(std::string_view code, std::string message) { return {code, std::move(message)}; }

const Ranges kMixed = testing::mixed_ranges();

struct Case {
  const char* name;
  std::expected<Ranges, SupportedStreamConfigsError> ranges;
  std::optional<SupportedStreamConfig> default_config;
  CaptureRequest request;
  std::expected<StreamChoice, SetupError> expected;
};

TEST(ChooseStreamConfig, Table) {
  namespace code = protocol::code;
  const auto gone = SupportedStreamConfigsError::of(audio::ErrorKind::DeviceNotAvailable);
  const std::string cannot_decode = "this device reports a sample format KESTRAVO cannot decode (";
  const std::string would_be_silent =
      "); capture would otherwise start and produce silence with no error";
  const Case cases[] = {
      {"configs unreadable", std::unexpected(gone), std::nullopt, request({0}),
       std::unexpected(failed(code::driver_open_failed, testing::kDeviceGone))},
      {"configs unreadable, backend", std::unexpected(SupportedStreamConfigsError::backend("boom")),
       std::nullopt, request({0}),
       std::unexpected(
           failed(code::driver_open_failed, "A backend-specific error has occurred: boom"))},
      {"no ranges", Ranges{}, std::nullopt, request({0}),
       std::unexpected(
           failed(code::driver_open_failed, "device reports no supported input configurations"))},
      {"zero channels", Ranges{range(0, 48000, 48000), range(0, 44100, 44100)}, std::nullopt,
       request({0}),
       std::unexpected(failed(code::driver_open_failed, "device reports zero input channels"))},
      {"channels 0 and 3 of 4", kMixed, std::nullopt, request({0, 3}),
       chosen(4, 48000, SampleFormat::I16)},
      {"channel 4 of 4", kMixed, std::nullopt, request({3, 4}),
       std::unexpected(
           failed(code::channel_out_of_range, "channel 4 not available (device has 4)"))},
      {"first bad index named", kMixed, std::nullopt, request({1, 7, 9}),
       std::unexpected(
           failed(code::channel_out_of_range, "channel 7 not available (device has 4)"))},
      {"largest index", kMixed, std::nullopt, request({18446744073709551615u}),
       std::unexpected(failed(code::channel_out_of_range,
                              "channel 18446744073709551615 not available (device has 4)"))},
      {"bad channel before bad rate", kMixed, std::nullopt, request({4}, 1),
       std::unexpected(
           failed(code::channel_out_of_range, "channel 4 not available (device has 4)"))},
      {"rate only in a narrower range", kMixed, std::nullopt, request({0}, 44100),
       std::unexpected(failed(code::sample_rate_unsupported, "device will not run at 44100 Hz"))},
      {"rate 48000 takes the first wide range", kMixed, std::nullopt, request({0}, 48000),
       chosen(4, 48000, SampleFormat::I16)},
      {"rate 96000 takes the later range", kMixed, std::nullopt, request({0}, 96000),
       chosen(4, 96000, SampleFormat::U16)},
      {"first containing range wins whatever its format",
       Ranges{range(2, 8000, 48000, SampleFormat::I32), range(2, 8000, 48000, SampleFormat::F32)},
       std::nullopt, request({0}, 16000),
       std::unexpected(
           failed(code::sample_format_unsupported, cannot_decode + "I32" + would_be_silent))},
      {"both bounds inclusive", Ranges{range(1, 8000, 16000)}, std::nullopt, request({0}, 8000),
       chosen(1, 8000, SampleFormat::F32)},
      {"upper bound inclusive", Ranges{range(1, 8000, 16000)}, std::nullopt, request({0}, 16000),
       chosen(1, 16000, SampleFormat::F32)},
      {"just outside", Ranges{range(1, 8000, 16000)}, std::nullopt, request({0}, 16001),
       std::unexpected(failed(code::sample_rate_unsupported, "device will not run at 16001 Hz"))},
      {"rate 0 refused", kMixed, std::nullopt, request({0}, 0),
       std::unexpected(failed(code::sample_rate_unsupported, "device will not run at 0 Hz"))},
      {"rate 0 accepted from 0", Ranges{range(1, 0, 10)}, std::nullopt, request({0}, 0),
       chosen(1, 0, SampleFormat::F32)},
      {"requested rate ignores the default", kMixed, fallback(4, 96000, SampleFormat::F32),
       request({0}, 48000), chosen(4, 48000, SampleFormat::I16)},
      {"narrow default ignored", kMixed, fallback(2, 44100), request({0}),
       chosen(4, 48000, SampleFormat::I16)},
      {"fitting default trusted beyond the ranges", kMixed, fallback(4, 44100, SampleFormat::F32),
       request({0}), chosen(4, 44100, SampleFormat::F32)},
      {"no default: first wide range at its maximum",
       Ranges{range(2, 8000, 16000, SampleFormat::U16), range(2, 8000, 96000)}, std::nullopt,
       request({1}), chosen(2, 16000, SampleFormat::U16)},
      {"default of undecodable format", kMixed, fallback(4, 48000, SampleFormat::F64), request({0}),
       std::unexpected(
           failed(code::sample_format_unsupported, cannot_decode + "F64" + would_be_silent))},
      {"range of undecodable format", Ranges{range(8, 48000, 48000, SampleFormat::I8)},
       std::nullopt, request({0}),
       std::unexpected(
           failed(code::sample_format_unsupported, cannot_decode + "I8" + would_be_silent))},
      {"one channel of eight builds eight", Ranges{range(8, 48000, 48000, SampleFormat::I16)},
       fallback(8, 48000, SampleFormat::I16), request({0}), chosen(8, 48000, SampleFormat::I16)},
  };
  for (const auto& c : cases) {
    const auto got = choose_stream_config(
        c.ranges, [&] { return c.default_config; }, c.request);
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TEST(ChooseStreamConfig, DefaultReadOnlyWhenNeeded) {
  const struct {
    const char* name;
    CaptureRequest request;
    int reads;
  } cases[] = {
      {"rate requested", request({0}, 48000), 0},
      {"bad channel", request({9}), 0},
      {"no rate", request({0}), 1},
  };
  for (const auto& c : cases) {
    int reads = 0;
    (void)choose_stream_config(
        kMixed,
        [&]() -> std::optional<SupportedStreamConfig> {
          ++reads;
          return std::nullopt;
        },
        c.request);
    EXPECT_EQ(reads, c.reads) << c.name;
  }
}

}  // namespace
}  // namespace kestravo::capture
