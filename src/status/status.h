// Status records: everything the program tells its parent apart from PCM,
// each written as one line of compact JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "status/output.h"

namespace kestravo::status {

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
  std::string_view code;  // one of status::code
  std::string message;    // valid UTF-8
};

using Status = std::variant<DriversRecord, ReadyRecord, LevelsRecord, ErrorRecord>;

// The record's line: compact JSON, "type" first, ended by a line feed.
std::string encode_line(const Status& record);

// JSON fragments, appended to `out`.
void append_string(std::string& out, std::string_view utf8);
void append_number(std::string& out, double value);

// Writes the record's line to `out` as one unit. Failures are dropped.
void emit(Output& out, const Status& record);
// Queues the record for standard error, whose own thread writes it: the
// caller never waits for a parent that does not drain standard error. See
// standard_error().drain() for waiting until it is out.
void emit_status(const Status& record);
// emit to standard output, waiting as long as the reader takes.
void emit_stdout(const Status& record);

}  // namespace kestravo::status
