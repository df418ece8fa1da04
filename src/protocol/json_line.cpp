#include "protocol/json_line.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace kestravo::protocol {

void append_string(std::string& out, std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the pending run of unescaped bytes
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(utf8.substr(run, i - run));
    run = i + 1;
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out.append(utf8.substr(run));
  out += '"';
}

namespace {

__extension__ using Wide = unsigned __int128;

// A finite positive number as its shortest round-trip decimal digits (no
// leading or trailing zero) and the decimal exponent of the first of them.
struct Decimal {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

// base^0, base^1, ... base^(N - 1).
template <std::size_t N>
constexpr std::array<std::uint64_t, N> powers_of(std::uint64_t base) {
  std::array<std::uint64_t, N> powers{};
  powers[0] = 1;
  for (std::size_t i = 1; i < N; ++i) powers[i] = powers[i - 1] * base;
  return powers;
}

constexpr auto kPowersOfFive = powers_of<28>(5);

constexpr auto kPowersOfTen = powers_of<20>(10);

// "00", "01", ... "99".
constexpr std::array<char, 200> digit_pairs() {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}

constexpr auto kDigitPairs = digit_pairs();

// The digits of `value`, a positive integer, into `out`, two at a time from
// the last.
void set_digits(Decimal& out, std::uint64_t value) {
  // floor(log10(2) * bit width) is the count or one less.
  auto count = static_cast<int>(std::bit_width(value) * 1233 >> 12);
  if (value >= kPowersOfTen[static_cast<std::size_t>(count)]) ++count;
  out.count = count;
  char* end = out.digits + count;
  for (; value >= 100; value /= 100) {
    end -= 2;
    std::memcpy(end, &kDigitPairs[2 * (value % 100)], 2);
  }
  if (value >= 10) {
    std::memcpy(end - 2, &kDigitPairs[2 * value], 2);
  } else {
    end[-1] = static_cast<char>('0' + value);
  }
}

// Every level but full scale: 2^-36 <= value < 1, in exact integer
// arithmetic. The doubles that read back as `value` are those between the
// midpoints to its neighbours (below a power of two the lower neighbour is
// half as far). Scaled by 10^q to 17 or 18 integer digits and by 2^s so
// that they are integers, the midpoints are odd multiples of 2 or odd, so
// never whole at the decimal scale (s >= 38): whether reading one rounds
// to `value` never matters. The shortest digits are those of the largest
// power of ten with a multiple between them, and of its multiples there the
// one nearest to `value`, half to even, as std::to_chars chooses. False
// outside that range.
bool shortest_below_one(double value, Decimal& out) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const int biased = static_cast<int>(bits >> 52);
  if (biased < 1023 - 36 || biased > 1022) return false;
  constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
  const std::uint64_t m = (bits & (kHidden - 1)) | kHidden;
  const int e = biased - 1075;  // value = m * 2^e
  const int below = -(e + 52);  // 1..36
  // floor(log10(2^(e + 52))), -11..-1, as minus the ceiling of its magnitude.
  const int k = -((below * 78913 + (1 << 18) - 1) >> 18);
  const int q = 16 - k;     // 17..27
  const int s = 2 - e - q;  // 38..63: the scaled values' binary fraction bits
  const Wide five = kPowersOfFive[static_cast<std::size_t>(q)];
  const Wide fraction_mask = (Wide{1} << s) - 1;
  // value * 10^q and its midpoints, times 2^s.
  const std::uint64_t quadruple = 4 * m;
  const Wide lower = Wide{quadruple - (m == kHidden ? 1 : 2)} * five;
  const Wide middle = Wide{quadruple} * five;
  const Wide upper = Wide{quadruple + 2} * five;
  // The first and last integers strictly between the midpoints.
  auto low = static_cast<std::uint64_t>(lower >> s) + 1;
  auto high = static_cast<std::uint64_t>(upper >> s);
  if (low > high) return false;
  // low and high in units of 10^t: the first and last multiples of it.
  int t = 0;
  std::uint64_t unit = 1;
  for (;;) {
    const std::uint64_t next_low = (low + 9) / 10;
    const std::uint64_t next_high = high / 10;
    if (next_low > next_high) break;
    low = next_low;
    high = next_high;
    ++t;
    unit *= 10;
  }
  const auto whole = static_cast<std::uint64_t>(middle >> s);
  std::uint64_t digits = whole / unit;
  // The rest below the unit, against half a unit, both times 2^s.
  const Wide rest = (Wide{whole % unit} << s) + (middle & fraction_mask);
  const Wide half = Wide{unit} << (s - 1);
  if (rest > half || (rest == half && (digits & 1) != 0)) ++digits;
  digits = std::clamp(digits, low, high);
  set_digits(out, digits);
  out.exponent = out.count - 1 + t - q;
  return true;
}

// Any other finite positive number, from std::to_chars's shortest
// round-trip digits (nearest to the exact value among equally short ones),
// written as d[.ddd]e±x.
void shortest_by_to_chars(double value, Decimal& out) {
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  out.digits[0] = text[0];
  if (e > 1) text.copy(out.digits + 1, e - 2, 2);
  out.count = e > 1 ? static_cast<int>(e) - 1 : 1;
  std::string_view exponent_text = text.substr(e + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  exponent_text.remove_prefix(1);  // to_chars always writes the sign
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  out.exponent = negative_exponent ? -exponent : exponent;
}

char* put_repeated(char* out, char c, int count) {
  for (int i = 0; i < count; ++i) *out++ = c;
  return out;
}

char* put_chars(char* out, const char* from, int count) {
  for (int i = 0; i < count; ++i) *out++ = from[i];
  return out;
}

// Text whose length the compiler knows: a few moves rather than a loop.
template <std::size_t N>
char* put_text(char* out, const char (&text)[N]) {
  std::memcpy(out, text, N - 1);
  return out + (N - 1);
}

// Our layout: fixed notation for decimal exponents -5..15, always with a
// fraction; d[.ddd]e±x beyond.
char* lay_out(char* out, const Decimal& d) {
  const int n = d.count;
  const int exponent = d.exponent;
  if (exponent >= -5 && exponent <= 15) {
    if (n <= exponent + 1) {
      out = put_chars(out, d.digits, n);
      out = put_repeated(out, '0', exponent + 1 - n);
      return put_text(out, ".0");
    }
    if (exponent >= 0) {
      out = put_chars(out, d.digits, exponent + 1);
      *out++ = '.';
      return put_chars(out, d.digits + exponent + 1, n - exponent - 1);
    }
    out = put_text(out, "0.");
    out = put_repeated(out, '0', -exponent - 1);
    return put_chars(out, d.digits, n);
  }
  *out++ = d.digits[0];
  if (n > 1) {
    *out++ = '.';
    out = put_chars(out, d.digits + 1, n - 1);
  }
  *out++ = 'e';
  *out++ = exponent < 0 ? '-' : '+';
  return std::to_chars(out, out + 8, std::abs(exponent)).ptr;
}

}  // namespace

char* write_number(char* out, double value) {
  if (!std::isfinite(value)) return put_text(out, "null");
  if (std::signbit(value)) *out++ = '-';
  value = std::fabs(value);
  if (value == 0.0) return put_text(out, "0.0");
  Decimal decimal;
  if (!shortest_below_one(value, decimal)) shortest_by_to_chars(value, decimal);
  return lay_out(out, decimal);
}

void append_number(std::string& out, double value) {
  char buffer[kNumberMax];
  out.append(buffer, write_number(buffer, value));
}

namespace {

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end.ptr);
}

// Keys and tags are ours: plain ASCII that needs no escape, written as they
// are.
void append_key(std::string& out, std::string_view key) {
  out += '"';
  out += key;
  out += "\":";
}

void append_numbers(std::string& out, const std::vector<double>& values) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    append_number(out, values[i]);
  }
  out += ']';
}

void append_driver(std::string& out, const DriverInfo& driver) {
  out += '{';
  append_key(out, "name");
  append_string(out, driver.name);
  out += ',';
  append_key(out, "inputs");
  append_integer(out, driver.inputs);
  if (driver.sample_rate) {
    out += ',';
    append_key(out, "sampleRate");
    append_number(out, *driver.sample_rate);
  }
  if (driver.channel_names) {
    out += ',';
    append_key(out, "channelNames");
    out += '[';
    for (std::size_t i = 0; i < driver.channel_names->size(); ++i) {
      if (i > 0) out += ',';
      append_string(out, (*driver.channel_names)[i]);
    }
    out += ']';
  }
  out += '}';
}

void append_fields(std::string& out, const DriversRecord& record) {
  append_key(out, "drivers");
  out += '[';
  for (std::size_t i = 0; i < record.drivers.size(); ++i) {
    if (i > 0) out += ',';
    append_driver(out, record.drivers[i]);
  }
  out += ']';
}

void append_fields(std::string& out, const ReadyRecord& record) {
  append_key(out, "sampleRate");
  append_number(out, record.sample_rate);
  out += ',';
  append_key(out, "channels");
  append_integer(out, record.channels);
}

void append_fields(std::string& out, const LevelsRecord& record) {
  append_key(out, "rms");
  append_numbers(out, record.rms);
  out += ',';
  append_key(out, "peak");
  append_numbers(out, record.peak);
}

void append_fields(std::string& out, const ErrorRecord& record) {
  append_key(out, "code");
  append_string(out, record.code);
  out += ',';
  append_key(out, "message");
  append_string(out, record.message);
}

std::string_view tag(const DriversRecord&) { return "drivers"; }
std::string_view tag(const ReadyRecord&) { return "ready"; }
std::string_view tag(const LevelsRecord&) { return "levels"; }
std::string_view tag(const ErrorRecord&) { return "error"; }

template <class Record>
void encode_into(const Record& record, std::string& out) {
  out += '{';
  append_key(out, "type");
  out += '"';
  out += tag(record);
  out += "\",";
  append_fields(out, record);
  out += "}\n";
}

}  // namespace

std::string encode_line(const Status& record) {
  std::string out;
  out.reserve(128);
  std::visit([&out](const auto& variant) { encode_into(variant, out); }, record);
  return out;
}

// The same line as encode_into writes, straight into the kept storage: it
// is written many times a second, on the audio thread.
void encode_line(const LevelsRecord& record, std::string& out) {
  static constexpr char kHead[] = R"({"type":"levels","rms":[)";
  static constexpr char kMiddle[] = R"(],"peak":[)";
  static constexpr char kTail[] = "]}\n";
  const std::size_t most = sizeof kHead + sizeof kMiddle + sizeof kTail +
                           (record.rms.size() + record.peak.size()) * (kNumberMax + 1);
  out.resize_and_overwrite(most, [&](char* begin, std::size_t) {
    char* at = put_text(begin, kHead);
    for (std::size_t i = 0; i < record.rms.size(); ++i) {
      if (i > 0) *at++ = ',';
      at = write_number(at, record.rms[i]);
    }
    at = put_text(at, kMiddle);
    for (std::size_t i = 0; i < record.peak.size(); ++i) {
      if (i > 0) *at++ = ',';
      at = write_number(at, record.peak[i]);
    }
    at = put_text(at, kTail);
    return static_cast<std::size_t>(at - begin);
  });
}

}  // namespace kestravo::protocol
