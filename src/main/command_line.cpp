#include "main/command_line.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "platform/process.h"
#include "protocol/records.h"
#include "text/utf8.h"

namespace kestravo::main {

namespace {

// The one number grammar of the command line: an optional single "+", then
// ASCII digits only (leading zeros allowed), within Unsigned's range.
template <class Unsigned>
std::optional<Unsigned> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  Unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> option_value(std::span<const std::string> args, std::string_view name) {
  const auto match = std::find(args.begin(), args.end(), name);
  if (match == args.end() || match + 1 == args.end()) return std::nullopt;
  return *(match + 1);
}

std::vector<std::uint64_t> parse_channels(std::string_view text) {
  std::vector<std::uint64_t> channels;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view piece = text.substr(0, comma);
    if (!piece.empty()) {
      const auto value = parse_unsigned<std::uint64_t>(piece);
      if (!value) return {};
      channels.push_back(*value);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return channels;
}

std::optional<std::uint32_t> parse_sample_rate(std::string_view text) {
  return parse_unsigned<std::uint32_t>(text);
}

Command parse_command_line(std::span<const std::string> args) {
  if (std::find(args.begin(), args.end(), "--list") != args.end()) return ListCommand{};
  auto driver = option_value(args, "--driver");
  if (!driver) return CommandError{protocol::code::driver_not_found, "no --driver given"};
  const auto channel_text = option_value(args, "--channels");
  if (!channel_text)
    return CommandError{protocol::code::channel_out_of_range, "no --channels given"};
  auto channels = parse_channels(*channel_text);
  std::optional<std::uint32_t> rate;
  if (const auto rate_text = option_value(args, "--sample-rate"))
    rate = parse_sample_rate(*rate_text);
  if (channels.empty()) {
    return CommandError{protocol::code::channel_out_of_range, "no channels requested"};
  }
  return capture::CaptureRequest{std::move(*driver), std::move(channels), rate};
}

Command read_command_line(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (const auto& arg : platform::arguments(argc, argv)) args.push_back(text::utf8_lossy(arg));
  return parse_command_line(args);
}

}  // namespace kestravo::main
