// Every finite double, written by our layout, reads back as itself, uses the
// fewest digits, fits 24 bytes and uses fixed notation exactly for decimal
// exponents -5..15.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

#include "protocol/json_line.h"

namespace kestravo::protocol {
namespace {

struct Parsed {
  std::string digits;  // significant digits, no leading or trailing zeros
  int exponent = 0;    // decimal exponent of the first digit
  bool exponent_form = false;
};

// Reads the digits and exponent back out of our own layout, checking the
// layout's shape as it goes.
::testing::AssertionResult parse_layout(const std::string& text, Parsed& parsed) {
  std::string_view s = text;
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  const auto e = s.find('e');
  if (e != std::string_view::npos) {
    parsed.exponent_form = true;
    const std::string_view mantissa = s.substr(0, e);
    const std::string_view exp = s.substr(e + 1);
    if (exp.size() < 2 || (exp[0] != '+' && exp[0] != '-') || exp[1] == '0') {
      return ::testing::AssertionFailure() << "bad exponent in " << text;
    }
    parsed.exponent = std::atoi(std::string(exp.substr(1)).c_str()) * (exp[0] == '-' ? -1 : 1);
    if (mantissa.size() == 2 || (mantissa.size() > 2 && mantissa[1] != '.')) {
      return ::testing::AssertionFailure() << "bad mantissa in " << text;
    }
    parsed.digits = std::string(mantissa.substr(0, 1)) +
                    std::string(mantissa.size() > 2 ? mantissa.substr(2) : std::string_view());
  } else {
    const auto dot = s.find('.');
    if (dot == std::string_view::npos || dot + 1 == s.size()) {
      return ::testing::AssertionFailure() << "no fraction in " << text;
    }
    std::string integer(s.substr(0, dot)), fraction(s.substr(dot + 1));
    if (integer.size() > 1 && integer[0] == '0') {
      return ::testing::AssertionFailure() << "leading zero in " << text;
    }
    if (fraction.size() > 1 && fraction.back() == '0') {
      return ::testing::AssertionFailure() << "trailing zero in " << text;
    }
    std::string all = integer + fraction;
    const auto first = all.find_first_not_of('0');
    if (first == std::string::npos) return ::testing::AssertionFailure() << "zero: " << text;
    parsed.exponent = static_cast<int>(integer.size()) - 1 - static_cast<int>(first);
    all = all.substr(first);
    while (all.size() > 1 && all.back() == '0') all.pop_back();
    parsed.digits = all;
  }
  if (parsed.digits.empty() || parsed.digits.size() > 17 || parsed.digits.front() == '0' ||
      parsed.digits.find_first_not_of("0123456789") != std::string::npos ||
      (parsed.digits.size() > 1 && parsed.digits.back() == '0')) {
    return ::testing::AssertionFailure() << "bad digits in " << text;
  }
  return ::testing::AssertionSuccess();
}

// The fewest significant digits that read back exactly, by printf.
int shortest_digit_count(double value) {
  char buffer[64];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*e", precision, value);
    if (std::strtod(buffer, nullptr) == value) return precision + 1;
  }
  return 17;
}

void check(double value, bool check_shortest) {
  std::string text;
  append_number(text, value);
  if (!std::isfinite(value)) {
    ASSERT_EQ(text, "null");
    return;
  }
  ASSERT_LE(text.size(), 24u) << text;
  const double back = std::strtod(text.c_str(), nullptr);
  ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
  if (value == 0.0) {
    ASSERT_EQ(text, std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  Parsed parsed;
  ASSERT_TRUE(parse_layout(text, parsed));
  ASSERT_EQ(parsed.exponent_form, parsed.exponent < -5 || parsed.exponent > 15) << text;
  if (check_shortest) {
    ASSERT_EQ(static_cast<int>(parsed.digits.size()), shortest_digit_count(value)) << text;
  }
}

// The layout as it was first written, from std::to_chars alone: the number
// writer, which takes its own digits where it can, must give the same bytes.
std::string to_chars_layout(double value) {
  if (!std::isfinite(value)) return "null";
  std::string out = std::signbit(value) ? "-" : "";
  value = std::fabs(value);
  if (value == 0.0) return out + "0.0";
  char buffer[32];
  const auto end =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
  const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = text.find('e');
  std::string digits(1, text[0]);
  if (e > 1) digits += text.substr(2, e - 2);
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int n = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (n <= exponent + 1) return out + digits + std::string(exponent + 1 - n, '0') + ".0";
    if (exponent >= 0) {
      return out + digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
    }
    return out + "0." + std::string(-exponent - 1, '0') + digits;
  }
  out += digits.substr(0, 1);
  if (n > 1) out += "." + digits.substr(1);
  return out + (exponent < 0 ? "e-" : "e+") + std::to_string(std::abs(exponent));
}

// Every value a levels record can hold (peaks k / 32768, RMS values of any
// sums over any lengths), the edges of the range written with exact digits
// (2^-36 .. 1), values just below powers of ten and two, halfway cases
// (j / 2^17 for odd j has 17 digits ending in 5, and its 16-digit
// neighbours are equally near), integers and random doubles of every
// magnitude.
TEST(NumberProperty, SameTextAsToCharsLayout) {
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.5,
                                0.1,
                                1e-5,
                                1e-6,
                                48000.0,
                                std::ldexp(1.0, -36),
                                std::nextafter(std::ldexp(1.0, -36), 0.0),
                                std::nextafter(1.0, 0.0),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::denorm_min()};
  for (int k = 0; k <= 32768; ++k) values.push_back(k / 32768.0);
  for (int j = 65537; j < 131072; j += 2) values.push_back(j / 131072.0);
  for (int p = -40; p <= 20; ++p) {
    double power = std::pow(10.0, p);
    double two = std::ldexp(1.0, p);
    for (int i = 0; i < 50; ++i) {
      values.insert(values.end(), {power, two});
      power = std::nextafter(power, 0.0);
      two = std::nextafter(two, 0.0);
    }
  }
  std::mt19937_64 random(31);
  for (int i = 0; i < 20000; ++i) values.push_back(static_cast<double>(random() >> (i % 64)));
  for (int i = 0; i < 300000; ++i) {
    const auto frames = 1 + random() % 100000;
    const auto sum = random() % (frames * 32768 * 32768 + 1);
    values.push_back(
        std::sqrt(static_cast<double>(sum) * std::ldexp(1.0, -30) / static_cast<double>(frames)));
    values.push_back(std::ldexp(std::uniform_real_distribution<double>(0.5, 1.0)(random),
                                -static_cast<int>(random() % 40)));
    const std::uint64_t pattern = random();
    double any;
    std::memcpy(&any, &pattern, sizeof any);
    values.push_back(any);
  }
  std::string text;
  for (const double value : values) {
    text.clear();
    append_number(text, value);
    ASSERT_EQ(text, to_chars_layout(value)) << std::hexfloat << value;
  }
}

TEST(NumberProperty, MillionDoubles) {
  std::mt19937_64 random(20261209);
  std::uniform_int_distribution<std::uint64_t> bits;
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const double anchors[] = {1e-5,
                            1e15,
                            1e16,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(),
                            std::numeric_limits<double>::max(),
                            1.0,
                            0.1};
  int count = 0;
  for (int i = 0; i < 600000; ++i, ++count) {
    const std::uint64_t pattern = bits(random);
    double value;
    std::memcpy(&value, &pattern, sizeof value);
    check(value, i < 100000);
    if (HasFatalFailure()) return;
  }
  for (const double anchor : anchors) {
    // Walk the neighbouring doubles on both sides, then values a little off.
    double up = anchor, down = anchor;
    for (int i = 0; i < 25000; ++i, count += 4) {
      check(up, i < 2000);
      check(-down, i < 2000);
      up = std::nextafter(up, std::numeric_limits<double>::infinity());
      down = std::nextafter(down, 0.0);
      const double near = anchor * (1.0 + unit(random) * 1e-3);
      check(near, i < 2000);
      check(std::ldexp(std::fabs(unit(random)), -1074 + i % 60), false);  // subnormals
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GE(count, 1000000);
}

}  // namespace
}  // namespace kestravo::protocol
