#include "protocol/json_line.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
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

void append_number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits, nearest to the exact value among equally
  // short ones, as d[.ddd]e±x; only the layout below is ours.
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  // The significant digits without the point, in place: a levels record
  // is made on the audio thread, which must not allocate.
  char digit_buffer[sizeof buffer];
  digit_buffer[0] = text[0];
  if (e > 1) text.copy(digit_buffer + 1, e - 2, 2);
  const std::string_view digits(digit_buffer, e > 1 ? e - 1 : 1);
  int exponent = 0;
  std::string_view exponent_text = text.substr(e + 1);
  const bool negative_exponent = exponent_text.front() == '-';
  exponent_text.remove_prefix(1);  // to_chars always writes the sign
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  if (negative_exponent) exponent = -exponent;

  const int n = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (n <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
      out += ".0";
    } else if (exponent >= 0) {
      const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
      out.append(digits.substr(0, integer_digits));
      out += '.';
      out.append(digits.substr(integer_digits));
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return;
  }
  out += digits[0];
  if (n > 1) {
    out += '.';
    out.append(digits.substr(1));
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  char exp_buffer[8];
  const auto exp_end =
      std::to_chars(exp_buffer, exp_buffer + sizeof exp_buffer, std::abs(exponent));
  out.append(exp_buffer, exp_end.ptr);
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

// The same line as encode_into writes, its fixed text appended in whole
// pieces: it is written many times a second, on the audio thread.
void encode_line(const LevelsRecord& record, std::string& out) {
  out.assign(R"({"type":"levels","rms":[)");
  for (std::size_t i = 0; i < record.rms.size(); ++i) {
    if (i > 0) out += ',';
    append_number(out, record.rms[i]);
  }
  out.append(R"(],"peak":[)");
  for (std::size_t i = 0; i < record.peak.size(); ++i) {
    if (i > 0) out += ',';
    append_number(out, record.peak[i]);
  }
  out.append("]}\n");
}

}  // namespace kestravo::protocol
