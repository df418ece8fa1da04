// Arbitrary argument vectors (the input split at NUL bytes) through the
// whole front end, up to where a host would be opened. Every command line
// must end in a listing, in exactly one well-formed error record, or in a
// capture request that agrees with the arguments; the expectation is worked
// out here independently of the parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "main/command_line.h"
#include "protocol/json_line.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "command_line_fuzz: check failed: %s\n", what);
  std::abort();
}

bool valid_utf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

std::optional<std::string> value_after(const std::vector<std::string>& args,
                                       std::string_view name) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 == args.size()) return std::nullopt;
      return args[i + 1];
    }
  }
  return std::nullopt;
}

// The decimal digits of an unsigned number text ("+" once, then digits),
// without leading zeros, if it is one no longer than max (also in digits).
std::optional<std::string> normalized_number(std::string_view text, std::string_view max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (text.size() > max.size() || (text.size() == max.size() && text > max)) return std::nullopt;
  return std::string(text);
}

constexpr std::string_view kMaxU64 = "18446744073709551615";
constexpr std::string_view kMaxU32 = "4294967295";

// The channel numbers as decimal texts, or none when any piece is invalid.
std::vector<std::string> expected_channels(std::string_view text) {
  std::vector<std::string> channels;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view piece = text.substr(start, comma - start);
    if (!piece.empty()) {
      auto number = normalized_number(piece, kMaxU64);
      if (!number) return {};
      channels.push_back(std::move(*number));
    }
    start = comma + 1;
  }
  return channels;
}

void check_error(const kestravo::main::Command& command, std::string_view code,
                 std::string_view message) {
  const auto* error = std::get_if<kestravo::main::CommandError>(&command);
  check(error != nullptr, "an error record");
  check(error->code == code && error->message == message, "the first failing check's record");
  const std::string line =
      kestravo::protocol::encode_line(kestravo::protocol::ErrorRecord{error->code, error->message});
  check(line.find('\n') == line.size() - 1, "one line");
  const auto json = nlohmann::ordered_json::parse(line);
  check(json.is_object() && json.size() == 3, "three keys");
  auto key = json.begin();
  check(key.key() == "type" && key.value() == "error", "type first");
  ++key;
  check(key.key() == "code" && key.value() == code, "code second");
  ++key;
  check(key.key() == "message" && key.value() == message, "message third");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size() && args.size() < 64) {
      std::size_t end = input.find('\0', start);
      if (end == std::string_view::npos) end = input.size();
      args.emplace_back(input.substr(start, end - start));
      start = end + 1;
    }
  }
  std::vector<const char*> argv{"kestravo-core-audio-capture"};
  for (const auto& arg : args) argv.push_back(arg.c_str());
  const kestravo::main::Command command =
      kestravo::main::read_command_line(static_cast<int>(argv.size()), argv.data());

  bool list = false;
  for (const auto& arg : args) list = list || arg == "--list";
  if (list) {
    check(std::holds_alternative<kestravo::main::ListCommand>(command), "--list anywhere lists");
    return 0;
  }
  const auto driver = value_after(args, "--driver");
  if (!driver) {
    check_error(command, "driver_not_found", "no --driver given");
    return 0;
  }
  const auto channel_text = value_after(args, "--channels");
  if (!channel_text) {
    check_error(command, "channel_out_of_range", "no --channels given");
    return 0;
  }
  const auto channels = expected_channels(*channel_text);
  if (channels.empty()) {
    check_error(command, "channel_out_of_range", "no channels requested");
    return 0;
  }

  const auto* request = std::get_if<kestravo::capture::CaptureRequest>(&command);
  check(request != nullptr, "a capture request");
  check(valid_utf8(request->driver_name), "the driver name is valid UTF-8");
  if (valid_utf8(*driver)) check(request->driver_name == *driver, "valid names pass unchanged");
  check(request->channels.size() == channels.size(), "one channel per valid piece");
  for (std::size_t i = 0; i < channels.size(); ++i) {
    check(std::to_string(request->channels[i]) == channels[i], "channels in text order");
  }
  std::optional<std::string> rate;
  if (const auto rate_text = value_after(args, "--sample-rate")) {
    rate = normalized_number(*rate_text, kMaxU32);
  }
  check(request->sample_rate.has_value() == rate.has_value(), "a rate only when it parses");
  if (rate) check(std::to_string(*request->sample_rate) == *rate, "the rate's value");
  return 0;
}
