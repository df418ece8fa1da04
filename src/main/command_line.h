// The command line: the tool's whole configuration.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "capture/capture.h"

namespace kestravo::main {

struct ListCommand {
  friend bool operator==(const ListCommand&, const ListCommand&) = default;
};

// A command line from which no capture can start.
struct CommandError {
  std::string_view code;
  std::string message;
  friend bool operator==(const CommandError&, const CommandError&) = default;
};

using Command = std::variant<ListCommand, capture::CaptureRequest, CommandError>;

// The value after the first argument equal to `name`, or none when there is
// no such argument or it stands last. Values of other options are searched
// too.
std::optional<std::string> option_value(std::span<const std::string> args, std::string_view name);

// Comma-separated unsigned decimal indices; empty pieces are dropped, and any
// invalid piece makes the whole list empty.
std::vector<std::uint64_t> parse_channels(std::string_view text);

// An optional "+" then one or more ASCII digits, within 0..2^32-1.
std::optional<std::uint32_t> parse_sample_rate(std::string_view text);

// The mode and its values, or the first error in the order of checks.
Command parse_command_line(std::span<const std::string> args);

// The whole front end up to where a host would be opened: the process
// arguments after argv[0] as the system hands them over (platform::arguments),
// decoded once with text::utf8_lossy (so every text that
// can reach a record is valid UTF-8), then parse_command_line.
Command read_command_line(int argc, const char* const* argv);

}  // namespace kestravo::main
