// Arbitrary status records (texts of arbitrary bytes decoded with
// utf8_lossy, doubles of arbitrary bits) through the JSON-line writer. Each
// record must encode to one line that a strict JSON parser accepts, with the
// keys in their fixed order and every value reading back equal to what was
// written (NaN and the infinities as null), no longer than the layout rules
// allow; every number must use the shortest digits that read back exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json_line.h"
#include "text/utf8.h"

namespace {

namespace protocol = kestravo::protocol;
using Json = nlohmann::ordered_json;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "status_fuzz: check failed: %s\n", what);
  std::abort();
}

constexpr std::size_t kMaxNumber = 24;  // "-1.2345678901234567e-308"

std::string text(FuzzedDataProvider& in) {
  return kestravo::text::utf8_lossy(in.ConsumeRandomLengthString(48));
}

double number(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 1:  // levels-like values: a ratio of small integers
      return static_cast<double>(in.ConsumeIntegral<std::int32_t>()) /
             static_cast<double>(in.ConsumeIntegralInRange<std::uint32_t>(1, 1U << 20));
    case 2:  // sample-rate-like values
      return static_cast<double>(in.ConsumeIntegral<std::uint32_t>());
    default:
      return in.ConsumeFloatingPoint<double>();
  }
}

// One number alone: the layout, the length bound, the shortest digits.
void check_number_text(double value) {
  std::string out;
  protocol::append_number(out, value);
  check(out.size() <= kMaxNumber, "a number fits 24 bytes");
  if (!std::isfinite(value)) {
    check(out == "null", "non-finite numbers are null");
    return;
  }
  check(std::signbit(value) == (out.front() == '-'), "the sign");
  const double back = std::strtod(out.c_str(), nullptr);
  check(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value),
        "the text reads back to the same bits");
  if (value == 0.0) {
    check(out == (std::signbit(value) ? "-0.0" : "0.0"), "zero is 0.0");
    return;
  }
  // The significant digits, and a check that one fewer cannot read back.
  std::string digits;
  bool exponent = false;
  for (const char c : out) {
    if (c == 'e') exponent = true;
    if (!exponent && c >= '0' && c <= '9') digits += c;
  }
  check(out.find('.') != std::string::npos || exponent, "a fraction or an exponent");
  while (!digits.empty() && digits.front() == '0') digits.erase(0, 1);
  while (!exponent && digits.size() > 1 && digits.back() == '0') digits.pop_back();
  check(!digits.empty() && digits.size() <= 17, "1 to 17 significant digits");
  if (digits.size() > 1) {
    std::array<char, 64> shorter{};
    std::snprintf(shorter.data(), shorter.size(), "%.*e", static_cast<int>(digits.size()) - 2,
                  std::fabs(value));
    check(std::strtod(shorter.data(), nullptr) != std::fabs(value), "no shorter digits read back");
  }
  const double magnitude = std::fabs(value);
  check(exponent == (magnitude < 1e-5 || magnitude >= 1e16),
        "exponent notation outside 1e-5..1e16");
}

void check_number(const Json& json, double value) {
  if (!std::isfinite(value)) {
    check(json.is_null(), "non-finite numbers read back as null");
    return;
  }
  check(json.is_number(), "a number");
  const double back = json.get<double>();
  check(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value),
        "a number reads back equal, sign of zero included");
}

void check_numbers(const Json& json, const std::vector<double>& values) {
  check(json.is_array() && json.size() == values.size(), "one element per value");
  for (std::size_t i = 0; i < values.size(); ++i) check_number(json[i], values[i]);
}

void check_string(const Json& json, const std::string& value) {
  check(json.is_string() && json.get<std::string>() == value, "a text reads back equal");
}

// Iterates the keys of an object in order.
class Keys {
 public:
  explicit Keys(const Json& object) : it_(object.begin()), end_(object.end()) {
    check(object.is_object(), "an object");
  }
  const Json& next(std::string_view key) {
    check(it_ != end_ && it_.key() == key, "the next key in its fixed place");
    return (it_++).value();
  }
  void done() const { check(it_ == end_, "no other keys"); }

 private:
  Json::const_iterator it_;
  Json::const_iterator end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // The upper bound of the line: every text byte may become a 6-byte
  // escape, every number takes at most 24 bytes; the rest is a fixed layout
  // per record and per element.
  std::size_t bound = 64;
  auto count_text = [&bound](const std::string& value) { bound += 2 + 6 * value.size() + 1; };
  auto count_number = [&bound](double value) {
    check_number_text(value);
    bound += kMaxNumber + 1;
  };

  protocol::Status record;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: {
      protocol::DriversRecord drivers;
      const auto n = in.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < n; ++i) {
        protocol::DriverInfo driver;
        driver.name = text(in);
        count_text(driver.name);
        driver.inputs = in.ConsumeIntegral<std::int32_t>();
        if (in.ConsumeBool()) {
          driver.sample_rate = number(in);
          count_number(*driver.sample_rate);
        }
        if (in.ConsumeBool()) {
          driver.channel_names.emplace();
          const auto names = in.ConsumeIntegralInRange(0, 6);
          for (int k = 0; k < names; ++k) {
            driver.channel_names->push_back(text(in));
            count_text(driver.channel_names->back());
          }
        }
        bound += 64;
        drivers.drivers.push_back(std::move(driver));
      }
      record = std::move(drivers);
      break;
    }
    case 1:
      record = protocol::ReadyRecord{number(in), in.ConsumeIntegral<std::uint64_t>()};
      count_number(std::get<protocol::ReadyRecord>(record).sample_rate);
      break;
    case 2: {
      protocol::LevelsRecord levels;
      const auto n = in.ConsumeIntegralInRange(0, 40);
      for (int i = 0; i < n; ++i) levels.rms.push_back(number(in));
      for (int i = 0; i < n; ++i) levels.peak.push_back(number(in));
      for (const double v : levels.rms) count_number(v);
      for (const double v : levels.peak) count_number(v);
      record = std::move(levels);
      break;
    }
    default: {
      constexpr std::array<std::string_view, 6> kCodes = {
          protocol::code::driver_not_found,          protocol::code::driver_open_failed,
          protocol::code::channel_out_of_range,      protocol::code::sample_rate_unsupported,
          protocol::code::sample_format_unsupported, protocol::code::device_disconnected};
      protocol::ErrorRecord error{kCodes[in.ConsumeIntegralInRange<std::size_t>(0, 5)], text(in)};
      count_text(error.message);
      record = std::move(error);
    }
  }

  const std::string line = protocol::encode_line(record);
  check(!line.empty() && line.find('\n') == line.size() - 1, "exactly one line");
  check(line.size() <= bound, "no longer than the layout rules allow");
  Json json;
  try {
    json = Json::parse(line);
  } catch (const Json::exception& e) {
    std::fprintf(stderr, "status_fuzz: %s\n%s", e.what(), line.c_str());
    check(false, "a strict JSON parser accepts the line");
  }

  Keys keys(json);
  if (const auto* drivers = std::get_if<protocol::DriversRecord>(&record)) {
    check_string(keys.next("type"), "drivers");
    const Json& list = keys.next("drivers");
    check(list.is_array() && list.size() == drivers->drivers.size(), "one entry per driver");
    for (std::size_t i = 0; i < list.size(); ++i) {
      const auto& driver = drivers->drivers[i];
      Keys entry(list[i]);
      check_string(entry.next("name"), driver.name);
      check(entry.next("inputs") == driver.inputs, "inputs reads back equal");
      if (driver.sample_rate) check_number(entry.next("sampleRate"), *driver.sample_rate);
      if (driver.channel_names) {
        const Json& names = entry.next("channelNames");
        check(names.is_array() && names.size() == driver.channel_names->size(), "every name");
        for (std::size_t k = 0; k < names.size(); ++k) {
          check_string(names[k], (*driver.channel_names)[k]);
        }
      }
      entry.done();
    }
  } else if (const auto* ready = std::get_if<protocol::ReadyRecord>(&record)) {
    check_string(keys.next("type"), "ready");
    check_number(keys.next("sampleRate"), ready->sample_rate);
    const Json& channels = keys.next("channels");
    check(channels.is_number_unsigned() && channels.get<std::uint64_t>() == ready->channels,
          "channels reads back equal");
  } else if (const auto* levels = std::get_if<protocol::LevelsRecord>(&record)) {
    check_string(keys.next("type"), "levels");
    check_numbers(keys.next("rms"), levels->rms);
    check_numbers(keys.next("peak"), levels->peak);
  } else {
    const auto& error = std::get<protocol::ErrorRecord>(record);
    check_string(keys.next("type"), "error");
    check_string(keys.next("code"), std::string(error.code));
    check_string(keys.next("message"), error.message);
  }
  keys.done();
  return 0;
}
