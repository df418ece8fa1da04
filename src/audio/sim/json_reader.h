// Typed access to a scenario document: each accessor checks what it reads
// and names the path at fault.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "audio/audio.h"
#include "audio/sim/json_document.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

// Walks the document and keeps the first problem found; the accessors
// return nothing once something is wrong, so callers can read on and check
// ok() once at the end of a section.
class Reader {
 public:
  bool ok() const { return !error_; }
  std::string take_error() { return std::move(error_).value_or(std::string()); }

  void fail(const std::string& path, const std::string& reason) {
    if (!error_) error_ = (path.empty() ? std::string("top level") : path) + ": " + reason;
  }
  // A message that already starts with its position.
  void fail_with(std::string message) {
    if (!error_) error_ = std::move(message);
  }

  // An object with only the given keys.
  bool object(const json& value, const std::string& path,
              std::initializer_list<std::string_view> keys) {
    if (!value.is_object()) {
      fail(path, "must be an object, not " + describe(value));
      return false;
    }
    for (const auto& [key, unused] : value.items()) {
      bool known = false;
      for (auto k : keys) known = known || k == key;
      if (!known) {
        fail(join(path, printable(key, kQuoteLimit)), "unknown key");
        return false;
      }
    }
    return true;
  }

  static std::string join(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }
  static std::string index(const std::string& path, std::size_t i) {
    return path + "[" + std::to_string(i) + "]";
  }

  std::optional<std::uint64_t> integer(const json& value, const std::string& path,
                                       std::uint64_t min, std::uint64_t max) {
    if (value.is_number_unsigned()) {
      const auto n = value.get<std::uint64_t>();
      if (n >= min && n <= max) return n;
    } else if (!value.is_number_integer()) {
      fail(path, "must be an integer, not " + describe(value));
      return std::nullopt;
    }
    fail(path, describe(value) + " is out of range (" + std::to_string(min) + " to " +
                   std::to_string(max) + ")");
    return std::nullopt;
  }

  std::optional<double> number(const json& value, const std::string& path, double min, double max) {
    if (!value.is_number()) {
      fail(path, "must be a number, not " + describe(value));
      return std::nullopt;
    }
    const auto x = value.get<double>();
    if (!(x >= min && x <= max)) {
      fail(path, describe(value) + " is out of range");
      return std::nullopt;
    }
    return x;
  }

  std::optional<bool> boolean(const json& value, const std::string& path) {
    if (!value.is_boolean()) {
      fail(path, "must be true or false, not " + describe(value));
      return std::nullopt;
    }
    return value.get<bool>();
  }

  // A JSON string, or {"hex": "..."} for raw bytes.
  std::optional<std::string> text(const json& value, const std::string& path) {
    if (value.is_string()) return value.get<std::string>();
    if (!value.is_object()) {
      fail(path, "must be a string or {\"hex\": ...}, not " + describe(value));
      return std::nullopt;
    }
    if (!object(value, path, {"hex"})) return std::nullopt;
    const auto hex_path = join(path, "hex");
    if (!value.contains("hex") || !value["hex"].is_string()) {
      fail(hex_path, "must be a string of hex digits");
      return std::nullopt;
    }
    const auto digits = value["hex"].get<std::string>();
    if (digits.size() % 2 != 0) {
      fail(hex_path, "odd number of hex digits");
      return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
      const int high = hex_digit(digits[i]);
      const int low = hex_digit(digits[i + 1]);
      if (high < 0 || low < 0) {
        fail(hex_path, "not a hex digit at offset " + std::to_string(high < 0 ? i : i + 1));
        return std::nullopt;
      }
      bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
  }

  std::optional<SampleFormat> format(const json& value, const std::string& path) {
    if (!value.is_string()) {
      fail(path, "must be a sample format name, not " + describe(value));
      return std::nullopt;
    }
    auto format = sample_format_from_name(value.get<std::string>());
    if (!format) fail(path, "unknown sample format " + describe(value));
    return format;
  }

  // An error of the operation whose error type has the cases `has`.
  std::optional<ScriptedError> error(const json& value, const std::string& path,
                                     bool (*has)(ErrorKind)) {
    static constexpr std::pair<std::string_view, ErrorKind> kNames[] = {
        {"device_not_available", ErrorKind::DeviceNotAvailable},
        {"invalid_argument", ErrorKind::InvalidArgument},
        {"config_not_supported", ErrorKind::StreamConfigNotSupported},
        {"stream_id_overflow", ErrorKind::StreamIdOverflow},
    };
    if (value.is_string()) {
      const auto name = value.get<std::string>();
      for (const auto& [n, kind] : kNames) {
        if (n != name) continue;
        if (!has(kind)) {
          fail(path, describe(value) + " is not an error of this operation");
          return std::nullopt;
        }
        return ScriptedError{kind, {}};
      }
      fail(path, "unknown error " + describe(value));
      return std::nullopt;
    }
    if (!value.is_object()) {
      fail(path, "must be an error name or {\"backend\": text}, not " + describe(value));
      return std::nullopt;
    }
    if (!object(value, path, {"backend"})) return std::nullopt;
    if (!value.contains("backend")) {
      fail(join(path, "backend"), "missing");
      return std::nullopt;
    }
    auto description = text(value["backend"], join(path, "backend"));
    if (!description) return std::nullopt;
    return ScriptedError{ErrorKind::BackendSpecific, std::move(*description)};
  }

  // The member `key` of `object`, or nothing (and, when required, a failure).
  const json* member(const json& object, const std::string& path, std::string_view key,
                     bool required = false) {
    const auto it = object.find(key);
    if (it == object.end()) {
      if (required) fail(join(path, key), "missing");
      return nullptr;
    }
    return &*it;
  }

  const json* array(const json& object, const std::string& path, std::string_view key) {
    const json* value = member(object, path, key);
    if (value != nullptr && !value->is_array()) {
      fail(join(path, key), "must be an array, not " + describe(*value));
      return nullptr;
    }
    return value;
  }

 private:
  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::optional<std::string> error_;
};

}  // namespace kestravo::audio::sim
