// The records the program tells its parent (everything apart from PCM) and
// their closed set of error codes. protocol/json_line.h writes them as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "text/utf8.h"

namespace kestravo::protocol {

// The closed set of error codes.
namespace code {
inline constexpr std::string_view driver_not_found = "driver_not_found";
inline constexpr std::string_view driver_open_failed = "driver_open_failed";
inline constexpr std::string_view channel_out_of_range = "channel_out_of_range";
inline constexpr std::string_view sample_rate_unsupported = "sample_rate_unsupported";
inline constexpr std::string_view sample_format_unsupported = "sample_format_unsupported";
inline constexpr std::string_view device_disconnected = "device_disconnected";
}  // namespace code

// One input device of the listing. Texts are valid UTF-8.
struct DriverInfo {
  std::string name;
  std::int32_t inputs = 0;
  std::optional<double> sample_rate;
  std::optional<std::vector<std::string>> channel_names;
  friend bool operator==(const DriverInfo&, const DriverInfo&) = default;
};

struct DriversRecord {
  std::vector<DriverInfo> drivers;
};

struct ReadyRecord {
  double sample_rate = 0;
  std::uint64_t channels = 0;
};

struct LevelsRecord {
  std::vector<double> rms;
  std::vector<double> peak;
};

struct ErrorRecord {
  std::string_view code;  // one of protocol::code
  std::string message;    // valid UTF-8

  // The record for `message` in any bytes (an argument, a library's text):
  // what is not UTF-8 becomes U+FFFD.
  static ErrorRecord of(std::string_view code, std::string_view message) {
    return ErrorRecord{code, text::utf8_lossy(message)};
  }
};

using Status = std::variant<DriversRecord, ReadyRecord, LevelsRecord, ErrorRecord>;

}  // namespace kestravo::protocol
