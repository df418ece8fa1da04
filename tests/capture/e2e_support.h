// Shared by the capture end-to-end tests: scenarios, PCM decoding and the
// levels line a block of PCM must produce.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/json_line.h"
#include "support/child.h"
#include "support/texts.h"

namespace kestravo::testing {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

// Options that run the simulated executable on `scenario` (JSON text).
inline ChildOptions with_scenario(const TempDir& dir, const std::string& scenario,
                                  ChildOptions options = {}) {
  options.env["KESTRAVO_SIM_SCENARIO"] = dir.write("scenario.json", scenario);
  return options;
}

inline std::vector<std::string> capture_args(const std::string& driver, const std::string& channels,
                                             std::optional<std::string> rate = std::nullopt) {
  std::vector<std::string> args = {"--driver", driver, "--channels", channels};
  if (rate) args.insert(args.end(), {"--sample-rate", *rate});
  return args;
}

inline std::string error_line(std::string_view code, const std::string& message) {
  return protocol::encode_line(protocol::ErrorRecord{code, message});
}

inline std::string ready_line(double rate, std::uint64_t channels) {
  return protocol::encode_line(protocol::ReadyRecord{rate, channels});
}

// The complete lines of `text`, each with its line feed.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl + 1 - start));
  }
  return lines;
}

inline bool is_levels(const std::string& line) { return line.starts_with("{\"type\":\"levels\""); }
inline bool is_error(const std::string& line) { return line.starts_with("{\"type\":\"error\""); }

inline std::vector<std::int16_t> decode_pcm(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto lo = static_cast<std::uint8_t>(bytes[2 * i]);
    const auto hi = static_cast<std::uint8_t>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }
  return samples;
}

inline std::string encode_pcm(const std::vector<std::int16_t>& samples) {
  std::string bytes;
  for (const std::int16_t s : samples) {
    const auto bits = static_cast<std::uint16_t>(s);
    bytes += static_cast<char>(bits & 0xFF);
    bytes += static_cast<char>(bits >> 8);
  }
  return bytes;
}

// The levels line for one PCM block of `channels` interleaved channels,
// computed from the block as the parent sees it.
inline std::string levels_line_for(const std::string& block, std::size_t channels) {
  const auto samples = decode_pcm(block);
  const std::size_t frames = samples.size() / channels;
  protocol::LevelsRecord record;
  for (std::size_t j = 0; j < channels; ++j) {
    double sum = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      const double x = samples[f * channels + j] / 32768.0;
      sum += x * x;
    }
    record.rms.push_back(std::sqrt(sum / static_cast<double>(std::max<std::size_t>(frames, 1))));
  }
  for (std::size_t j = 0; j < channels; ++j) {
    double peak = 0;
    for (std::size_t f = 0; f < frames; ++f) {
      peak = std::max(peak, std::abs(samples[f * channels + j] / 32768.0));
    }
    record.peak.push_back(peak);
  }
  return protocol::encode_line(record);
}

inline std::size_t count_if_line(const Child& child, bool (*pred)(const std::string&)) {
  const auto lines = child.err_lines();
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), pred));
}

}  // namespace kestravo::testing
