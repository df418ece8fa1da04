#include "audio/sim/scenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "audio/callback_formats.h"
#include "platform/file.h"
#include "text/utf8.h"

namespace kestravo::audio::sim {

namespace {

using json = nlohmann::json;

// Frames per generated buffer beyond which a buffer stops being a test
// fixture and starts being a way to exhaust memory.
constexpr std::uint64_t kMaxBufferFrames = 1u << 20;

// The reader's own limits. Real scenarios are far below them; beyond them a
// file is a broken scenario, never a crash, a hang or a machine out of memory.
// Nesting: the schema needs 6 levels.
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxDepth = 64;
// Values and keys together, explicit samples included; the document they
// make takes at most a few hundred megabytes.
constexpr std::size_t kMaxValues = std::size_t{1} << 22;
// Each device costs about a kilobyte, in the scenario, the host and a listing.
constexpr std::size_t kMaxDevices = std::size_t{1} << 18;
// A pipe or device named as the scenario that sends nothing for this long,
// or is not done after the second limit, is given up.
constexpr std::chrono::seconds kReadIdleLimit{5};
constexpr std::chrono::seconds kReadLimit{60};

constexpr std::string_view kDefaultScenario = R"({
  "devices": [
    {
      "name": "Simulated Microphone",
      "configs": [{"channels": 2, "min_rate": 44100, "max_rate": 48000, "format": "F32"}],
      "default_config": {"channels": 2, "rate": 48000, "format": "F32"},
      "available_rates": [[44100, 44100], [48000, 48000]],
      "channel_names": ["Left", "Right"],
      "stream": {"signal": {"kind": "sine", "frequency": 440, "amplitude": 0.25}}
    },
    {
      "name": "Simulated Line In",
      "configs": [{"channels": 8, "min_rate": 48000, "max_rate": 48000, "format": "I16"}],
      "default_config": {"channels": 8, "rate": 48000, "format": "I16"},
      "channel_names": ["In 1", "In 2", "In 3", "In 4", "In 5", "In 6", "In 7", "In 8"],
      "stream": {"signal": {"kind": "sine"}}
    },
    {
      "name": "Simulated Speakers"
    }
  ]
}
)";

// Values and keys quoted in a reason are cut to this many bytes, so a
// reason stays short whatever the file holds.
constexpr std::size_t kQuoteLimit = 40;

// Length of the well-formed UTF-8 sequence that starts `s`, or 0.
std::size_t sequence_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// `text` as valid UTF-8 of at most about `limit` bytes: each byte that is
// not part of a well-formed character becomes "<0xNN>", and a cut, marked
// "...", never falls inside a character.
std::string printable(std::string_view text, std::size_t limit = std::string_view::npos) {
  std::string out;
  while (!text.empty()) {
    const std::size_t n = sequence_length(text);
    char escaped[8];
    std::string_view piece = text.substr(0, n);
    if (n == 0) {
      std::snprintf(escaped, sizeof escaped, "<0x%02X>", static_cast<unsigned char>(text[0]));
      piece = escaped;
    }
    if (out.size() + piece.size() > limit) return out + "...";
    out += piece;
    text.remove_prefix(n == 0 ? 1 : n);
  }
  return out;
}

// A value as a reason quotes it: scalars as written, containers one level
// deep (nested ones as [...] and {...}), so no value is ever dumped whole.
std::string describe(const json& value) {
  const auto scalar = [](const json& v) {
    if (v.is_array()) return std::string(v.empty() ? "[]" : "[...]");
    if (v.is_object()) return std::string(v.empty() ? "{}" : "{...}");
    if (!v.is_string()) return v.dump();
    // The parser has made sure that strings are well-formed UTF-8.
    const auto& s = v.get_ref<const json::string_t&>();
    std::size_t keep = 0;
    for (std::size_t n = 0; keep < s.size(); keep += n) {
      n = std::max<std::size_t>(1, sequence_length(std::string_view(s).substr(keep)));
      if (keep + n > kQuoteLimit) break;
    }
    return json(s.substr(0, keep)).dump() + (keep < s.size() ? "..." : "");
  };
  if (!value.is_structured() || value.empty()) return scalar(value);
  std::string text(1, value.is_array() ? '[' : '{');
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (text.size() > kQuoteLimit) return text + "...";
    if (it != value.begin()) text += ',';
    if (value.is_object()) text += json(printable(it.key(), kQuoteLimit)).dump() + ':';
    text += scalar(*it);
  }
  return text + (value.is_array() ? ']' : '}');
}

// The parser quotes everything it read of the token it gave up on, which
// can be most of the file; keep the end, where the mistake is. Cut on a
// character boundary.
std::string shorten_last_read(std::string message) {
  static constexpr std::string_view kLastRead = "last read: '";
  const auto at = message.find(kLastRead);
  if (at == message.npos) return message;
  const auto begin = at + kLastRead.size();
  auto end = message.find("'; expected ", begin);
  if (end == message.npos) end = message.ends_with('\'') ? message.size() - 1 : message.size();
  if (end < begin || end - begin <= kQuoteLimit) return message;
  auto keep = end - kQuoteLimit;
  while (keep < end && (static_cast<unsigned char>(message[keep]) & 0xC0) == 0x80) ++keep;
  message.replace(begin, keep - begin, "...");
  return message;
}

// Builds the document from the parser's events, with the limits that keep
// any file from exhausting the stack, the memory or the reader's patience:
// nesting depth, number of values, and no key twice in one object. On the
// first problem it stops the parser and keeps a reason.
class Builder {
 public:
  explicit Builder(json& root) : root_(root) {}

  bool null() { return add(nullptr); }
  bool boolean(bool v) { return add(v); }
  bool number_integer(json::number_integer_t v) { return add(v); }
  bool number_unsigned(json::number_unsigned_t v) { return add(v); }
  bool number_float(json::number_float_t v, const json::string_t&) { return add(v); }
  bool string(json::string_t& v) { return add(std::move(v)); }
  bool binary(json::binary_t& v) { return add(std::move(v)); }
  bool start_object(std::size_t) { return open(json::value_t::object); }
  bool start_array(std::size_t) { return open(json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& k) {
    Frame& frame = frames_.back();
    frame.key = std::move(k);
    if (frame.value->contains(frame.key)) return refuse("duplicate key");
    return counted();
  }

  bool parse_error(std::size_t, const std::string& token, const nlohmann::detail::exception& e) {
    if (e.id == 406) return refuse("number out of range: " + printable(token, kQuoteLimit));
    // "[json.exception.parse_error.101] parse error at line 1, ...": the tag
    // helps nobody reading a scenario.
    std::string message = e.what();
    if (const auto end = message.find("] "); message.starts_with("[json.") && end != message.npos) {
      message.erase(0, end + 2);
    }
    error_ = printable(shorten_last_read(std::move(message)));
    return false;
  }

  std::string take_error() { return std::move(error_).value_or("cannot read the document"); }

 private:
  struct Frame {
    json* value;
    std::string key;  // objects: the member being read
  };

  // Where the value being read goes, such as devices[2].name.
  std::string path() const {
    std::string text;
    for (std::size_t i = 0; i < frames_.size(); ++i) {
      const json& container = *frames_[i].value;
      const bool last = i + 1 == frames_.size();
      if (container.is_array()) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict)
        // about the temporary of "[" + ... + "]".
        text += '[';
        text += std::to_string(container.size() - (last ? 0 : 1));
        text += ']';
      } else {
        if (!text.empty()) text += '.';
        text += printable(frames_[i].key, kQuoteLimit);
      }
    }
    // A deep path keeps its start, which says where in the schema, and its
    // end, where the mistake is.
    constexpr std::size_t kHead = 48;
    constexpr std::size_t kTail = 72;
    if (text.size() > kHead + kTail) {
      // Cut between components: before a '[' or a '.'.
      const auto separator = [&](std::size_t i) { return text[i] == '[' || text[i] == '.'; };
      auto head = kHead;
      while (head > 0 && !separator(head)) --head;
      auto tail = text.size() - kTail;
      while (tail < text.size() && !separator(tail)) ++tail;
      text.replace(head, tail - head, "...");
    }
    return text.empty() ? "top level" : text;
  }

  bool refuse(const std::string& reason) {
    error_ = path() + ": " + reason;
    return false;
  }

  bool counted() {
    if (++values_ > kMaxValues) {
      return refuse("more than " + std::to_string(kMaxValues) +
                    " values and keys in the file, the reader's limit");
    }
    return true;
  }

  json* place(json&& value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = frames_.back();
    if (frame.value->is_array()) {
      frame.value->push_back(std::move(value));
      return &frame.value->back();
    }
    auto& members = frame.value->get_ref<json::object_t&>();
    // The key stays in the frame: it names the member while it is read.
    return &members.emplace(frame.key, std::move(value)).first->second;
  }

  template <class T>
  bool add(T&& v) {
    if (!counted()) return false;
    place(json(std::forward<T>(v)));
    return true;
  }

  bool open(json::value_t type) {
    if (frames_.size() >= kMaxDepth) {
      return refuse("nested more than " + std::to_string(kMaxDepth) + " levels deep");
    }
    if (!counted()) return false;
    frames_.push_back(Frame{place(json(type)), {}});
    return true;
  }

  bool close() {
    frames_.pop_back();
    return true;
  }

  json& root_;
  std::vector<Frame> frames_;
  std::size_t values_ = 0;
  std::optional<std::string> error_;
};

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

constexpr std::uint64_t kU16 = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t kU32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64 = std::numeric_limits<std::uint64_t>::max();

SupportedStreamConfigRange parse_range(Reader& r, const json& value, const std::string& path) {
  SupportedStreamConfigRange range;
  if (!r.object(value, path, {"channels", "min_rate", "max_rate", "format"})) return range;
  if (auto v = r.member(value, path, "channels", true)) {
    range.channels = static_cast<std::uint16_t>(
        r.integer(*v, Reader::join(path, "channels"), 0, kU16).value_or(0));
  }
  if (auto v = r.member(value, path, "min_rate", true)) {
    range.min_sample_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "min_rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "max_rate", true)) {
    range.max_sample_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "max_rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "format", true)) {
    range.sample_format = r.format(*v, Reader::join(path, "format")).value_or(SampleFormat::F32);
  }
  return range;
}

SupportedStreamConfig parse_default_config(Reader& r, const json& value, const std::string& path) {
  SupportedStreamConfig config;
  if (!r.object(value, path, {"channels", "rate", "format"})) return config;
  if (auto v = r.member(value, path, "channels", true)) {
    config.channels = static_cast<std::uint16_t>(
        r.integer(*v, Reader::join(path, "channels"), 0, kU16).value_or(0));
  }
  if (auto v = r.member(value, path, "rate", true)) {
    config.sample_rate =
        static_cast<std::uint32_t>(r.integer(*v, Reader::join(path, "rate"), 0, kU32).value_or(0));
  }
  if (auto v = r.member(value, path, "format", true)) {
    config.sample_format = r.format(*v, Reader::join(path, "format")).value_or(SampleFormat::F32);
  }
  return config;
}

ChannelNameEntry parse_channel_name(Reader& r, const json& value, const std::string& path) {
  if (value.is_null()) return {};
  if (value.is_object() && !value.contains("hex")) {
    ChannelNameEntry entry;
    if (!r.object(value, path, {"name", "copy_only"})) return entry;
    if (auto v = r.member(value, path, "name", true))
      entry.text = r.text(*v, Reader::join(path, "name"));
    if (auto v = r.member(value, path, "copy_only")) {
      entry.copy_only = r.boolean(*v, Reader::join(path, "copy_only")).value_or(false);
    }
    return entry;
  }
  if (!value.is_string() && !value.is_object()) {
    r.fail(path,
           "must be a text, null or {\"name\": text, \"copy_only\": true}, not " + describe(value));
    return {};
  }
  return ChannelNameEntry{r.text(value, path), false};
}

RawSample parse_sample(Reader& r, const json& value, const std::string& path) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      r.fail(path, describe(value) + " is out of range");
      return {};
    }
    return RawSample{RawSample::Kind::Integer, value.get<std::int64_t>(), 0};
  }
  if (value.is_number_float()) return RawSample{RawSample::Kind::Real, 0, value.get<double>()};
  if (value.is_string()) {
    const auto s = value.get<std::string>();
    if (s == "nan") return RawSample{RawSample::Kind::NaN, 0, 0};
    if (s == "inf") return RawSample{RawSample::Kind::Inf, 0, 0};
    if (s == "-inf") return RawSample{RawSample::Kind::NegInf, 0, 0};
  }
  r.fail(path, "must be a number, \"nan\", \"inf\" or \"-inf\", not " + describe(value));
  return {};
}

SignalScript parse_signal(Reader& r, const json& value, const std::string& path) {
  SignalScript signal;
  if (!r.object(value, path, {"kind", "frequency", "amplitude", "seed"})) return signal;
  const json* kind = r.member(value, path, "kind", true);
  if (kind == nullptr) return signal;
  const auto kind_path = Reader::join(path, "kind");
  if (*kind == "sine") {
    signal.kind = SignalScript::Kind::Sine;
    r.object(value, path, {"kind", "frequency", "amplitude"});
  } else if (*kind == "silence") {
    signal.kind = SignalScript::Kind::Silence;
    r.object(value, path, {"kind"});
  } else if (*kind == "noise") {
    signal.kind = SignalScript::Kind::Noise;
    r.object(value, path, {"kind", "amplitude", "seed"});
  } else {
    r.fail(kind_path, "must be \"sine\", \"silence\" or \"noise\", not " + describe(*kind));
    return signal;
  }
  if (auto v = r.member(value, path, "frequency")) {
    signal.frequency =
        r.number(*v, Reader::join(path, "frequency"), 0, std::numeric_limits<double>::max())
            .value_or(0);
  }
  if (auto v = r.member(value, path, "amplitude")) {
    signal.amplitude = r.number(*v, Reader::join(path, "amplitude"), 0, 1).value_or(0);
  }
  if (auto v = r.member(value, path, "seed")) {
    signal.seed = r.integer(*v, Reader::join(path, "seed"), 0, kU64).value_or(0);
  }
  return signal;
}

StreamScript parse_stream(Reader& r, const json& value, const std::string& path) {
  StreamScript stream;
  if (!r.object(value, path,
                {"buffer_frames", "interval_ms", "buffers", "signal", "max_buffers",
                 "stream_errors", "disconnect", "runs_after_release"})) {
    return stream;
  }
  if (auto v = r.member(value, path, "buffer_frames")) {
    stream.buffer_frames = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "buffer_frames"), 1, kMaxBufferFrames).value_or(1));
  }
  if (auto v = r.member(value, path, "interval_ms")) {
    stream.interval_ms =
        r.number(*v, Reader::join(path, "interval_ms"), 0, std::numeric_limits<double>::max());
  }
  if (auto buffers = r.array(value, path, "buffers")) {
    const auto buffers_path = Reader::join(path, "buffers");
    for (std::size_t i = 0; i < buffers->size() && r.ok(); ++i) {
      const auto& buffer = (*buffers)[i];
      const auto buffer_path = Reader::index(buffers_path, i);
      if (!buffer.is_array()) {
        r.fail(buffer_path, "must be an array of samples, not " + describe(buffer));
        break;
      }
      auto& samples = stream.buffers.emplace_back();
      for (std::size_t k = 0; k < buffer.size() && r.ok(); ++k) {
        samples.push_back(parse_sample(r, buffer[k], Reader::index(buffer_path, k)));
      }
    }
  }
  if (auto v = r.member(value, path, "signal")) {
    stream.signal = parse_signal(r, *v, Reader::join(path, "signal"));
  }
  if (auto v = r.member(value, path, "max_buffers")) {
    stream.max_buffers = r.integer(*v, Reader::join(path, "max_buffers"), 0, kU64);
  }
  if (auto errors = r.array(value, path, "stream_errors")) {
    const auto errors_path = Reader::join(path, "stream_errors");
    for (std::size_t i = 0; i < errors->size() && r.ok(); ++i) {
      const auto& entry = (*errors)[i];
      const auto entry_path = Reader::index(errors_path, i);
      if (!r.object(entry, entry_path, {"after_buffers", "text"})) break;
      StreamErrorScript error;
      if (auto v = r.member(entry, entry_path, "after_buffers", true)) {
        error.after_buffers =
            r.integer(*v, Reader::join(entry_path, "after_buffers"), 0, kU64).value_or(0);
      }
      if (auto v = r.member(entry, entry_path, "text", true)) {
        error.text = r.text(*v, Reader::join(entry_path, "text")).value_or("");
      }
      stream.stream_errors.push_back(std::move(error));
    }
  }
  if (auto v = r.member(value, path, "disconnect")) {
    const auto disconnect_path = Reader::join(path, "disconnect");
    if (r.object(*v, disconnect_path, {"after_buffers", "notifications"})) {
      DisconnectScript disconnect;
      if (auto n = r.member(*v, disconnect_path, "after_buffers", true)) {
        disconnect.after_buffers =
            r.integer(*n, Reader::join(disconnect_path, "after_buffers"), 0, kU64).value_or(0);
      }
      if (auto n = r.member(*v, disconnect_path, "notifications")) {
        disconnect.notifications =
            r.integer(*n, Reader::join(disconnect_path, "notifications"), 0, kU64).value_or(0);
      }
      stream.disconnect = disconnect;
    }
  }
  if (auto v = r.member(value, path, "runs_after_release")) {
    stream.runs_after_release =
        r.boolean(*v, Reader::join(path, "runs_after_release")).value_or(true);
  }
  return stream;
}

DeviceScript parse_device(Reader& r, const json& value, const std::string& path) {
  DeviceScript device;
  if (!r.object(value, path,
                {"name", "name_error", "configs", "configs_error", "configs_fail_after",
                 "default_config", "nominal_rate", "available_rates", "rate_switch", "findable",
                 "channel_names", "build_error", "play_error", "stream"})) {
    return device;
  }
  if (auto v = r.member(value, path, "name")) device.name = r.text(*v, Reader::join(path, "name"));
  if (auto v = r.member(value, path, "name_error")) {
    device.name_error = r.text(*v, Reader::join(path, "name_error"));
  }
  if (r.ok() && !device.name && !device.name_error) {
    r.fail(Reader::join(path, "name"), "missing (required unless name_error is given)");
  }
  if (auto configs = r.array(value, path, "configs")) {
    for (std::size_t i = 0; i < configs->size() && r.ok(); ++i) {
      device.configs.push_back(
          parse_range(r, (*configs)[i], Reader::index(Reader::join(path, "configs"), i)));
    }
  }
  if (auto v = r.member(value, path, "configs_error")) {
    device.configs_error =
        r.error(*v, Reader::join(path, "configs_error"), &SupportedStreamConfigsError::has);
  }
  if (auto v = r.member(value, path, "configs_fail_after")) {
    device.configs_fail_after =
        r.integer(*v, Reader::join(path, "configs_fail_after"), 0, kU64).value_or(0);
  }
  if (auto v = r.member(value, path, "default_config")) {
    device.default_config = parse_default_config(r, *v, Reader::join(path, "default_config"));
  }
  if (auto v = r.member(value, path, "nominal_rate")) {
    device.nominal_rate = static_cast<std::uint32_t>(
        r.integer(*v, Reader::join(path, "nominal_rate"), 0, kU32).value_or(0));
  } else if (device.default_config) {
    device.nominal_rate = device.default_config->sample_rate;
  } else if (!device.configs.empty()) {
    device.nominal_rate = device.configs.front().max_sample_rate;
  }
  if (auto rates = r.array(value, path, "available_rates")) {
    const auto rates_path = Reader::join(path, "available_rates");
    for (std::size_t i = 0; i < rates->size() && r.ok(); ++i) {
      const auto& pair = (*rates)[i];
      const auto pair_path = Reader::index(rates_path, i);
      if (!pair.is_array() || pair.size() != 2) {
        r.fail(pair_path, "must be [min, max], not " + describe(pair));
        break;
      }
      const auto min = r.integer(pair[0], Reader::index(pair_path, 0), 0, kU32).value_or(0);
      const auto max = r.integer(pair[1], Reader::index(pair_path, 1), 0, kU32).value_or(0);
      device.available_rates.emplace_back(static_cast<std::uint32_t>(min),
                                          static_cast<std::uint32_t>(max));
    }
  } else {
    for (const auto& range : device.configs) {
      device.available_rates.emplace_back(range.min_sample_rate, range.max_sample_rate);
    }
  }
  if (auto v = r.member(value, path, "rate_switch")) {
    if (*v == "ok") {
      device.rate_switch = RateSwitch::Ok;
    } else if (*v == "timeout") {
      device.rate_switch = RateSwitch::Timeout;
    } else if (*v == "listener_disconnected") {
      device.rate_switch = RateSwitch::ListenerDisconnected;
    } else {
      r.fail(Reader::join(path, "rate_switch"),
             "must be \"ok\", \"timeout\" or \"listener_disconnected\", not " + describe(*v));
    }
  }
  if (auto v = r.member(value, path, "findable")) {
    device.findable = r.boolean(*v, Reader::join(path, "findable")).value_or(true);
  }
  if (auto names = r.array(value, path, "channel_names")) {
    for (std::size_t i = 0; i < names->size() && r.ok(); ++i) {
      device.channel_names.push_back(parse_channel_name(
          r, (*names)[i], Reader::index(Reader::join(path, "channel_names"), i)));
    }
  }
  if (auto v = r.member(value, path, "build_error")) {
    device.build_error = r.error(*v, Reader::join(path, "build_error"), &BuildStreamError::has);
  }
  if (auto v = r.member(value, path, "play_error")) {
    device.play_error = r.error(*v, Reader::join(path, "play_error"), &PlayStreamError::has);
  }
  if (auto v = r.member(value, path, "stream")) {
    device.stream = parse_stream(r, *v, Reader::join(path, "stream"));
  }

  // Explicit buffers are raw samples of the stream's format, which is known
  // only when the stream is built. When the device offers a single format
  // the capture can open, check them now, so the mistake shows whatever
  // the command.
  if (r.ok() && !device.stream.buffers.empty()) {
    std::set<SampleFormat> formats;
    for (const auto& range : device.configs) {
      if (decodable(range.sample_format)) formats.insert(range.sample_format);
    }
    if (device.default_config && decodable(device.default_config->sample_format)) {
      formats.insert(device.default_config->sample_format);
    }
    if (formats.size() == 1) {
      if (auto problem = check_buffers(device.stream.buffers, *formats.begin())) {
        r.fail_with(Reader::join(path, "stream.buffers") + *problem);
      }
    }
  }
  return device;
}

}  // namespace

std::optional<std::string> check_buffers(const std::vector<std::vector<RawSample>>& buffers,
                                         SampleFormat format) {
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    for (std::size_t k = 0; k < buffers[i].size(); ++k) {
      const RawSample& s = buffers[i][k];
      bool fits = false;
      std::string shown;
      switch (s.kind) {
        case RawSample::Kind::Integer:
          shown = std::to_string(s.integer);
          fits = format == SampleFormat::F32 ||
                 (format == SampleFormat::I16 && s.integer >= -32768 && s.integer <= 32767) ||
                 (format == SampleFormat::U16 && s.integer >= 0 && s.integer <= 65535);
          break;
        case RawSample::Kind::Real:
          shown = json(s.real).dump();
          fits =
              format == SampleFormat::F32 && std::abs(s.real) <= std::numeric_limits<float>::max();
          break;
        case RawSample::Kind::NaN:
          shown = "\"nan\"";
          fits = format == SampleFormat::F32;
          break;
        case RawSample::Kind::Inf:
          shown = "\"inf\"";
          fits = format == SampleFormat::F32;
          break;
        case RawSample::Kind::NegInf:
          shown = "\"-inf\"";
          fits = format == SampleFormat::F32;
          break;
      }
      if (!fits) {
        return "[" + std::to_string(i) + "][" + std::to_string(k) + "]: " + shown +
               " is not a sample of format " + std::string(sample_format_name(format));
      }
    }
  }
  return std::nullopt;
}

std::expected<Scenario, std::string> parse_scenario(std::string_view text) {
  if (text.size() > kMaxFileBytes) {
    return std::unexpected("more than " + std::to_string(kMaxFileBytes >> 20) +
                           " MiB, the reader's limit");
  }
  json document;
  try {
    Builder builder(document);
    if (!json::sax_parse(text.begin(), text.end(), &builder)) {
      return std::unexpected(builder.take_error());
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected("not enough memory to read the document");
  }

  Reader r;
  Scenario scenario;
  if (r.object(document, "", {"devices", "enumeration_error"})) {
    if (auto devices = r.array(document, "", "devices")) {
      if (devices->size() > kMaxDevices) {
        r.fail("devices",
               "more than " + std::to_string(kMaxDevices) + " devices, the reader's limit");
      }
      for (std::size_t i = 0; i < devices->size() && r.ok(); ++i) {
        scenario.devices.push_back(parse_device(r, (*devices)[i], Reader::index("devices", i)));
      }
    }
    if (auto v = r.member(document, "", "enumeration_error")) {
      scenario.enumeration_error = r.text(*v, "enumeration_error");
    }
  }
  if (!r.ok()) return std::unexpected(r.take_error());
  return scenario;
}

std::string_view default_scenario_json() { return kDefaultScenario; }

Scenario default_scenario() {
  // The built-in text is covered by a test; it cannot fail here.
  return parse_scenario(kDefaultScenario).value_or(Scenario{});
}

std::expected<Scenario, std::string> load_scenario(std::string_view path) {
  if (path.empty()) return default_scenario();
  const std::string file(path);
  // The path comes from the environment, as bytes.
  const std::string shown = utf8_lossy(file);
  auto contents = platform::read_whole_file(
      file, platform::FileLimits{
                .max_bytes = kMaxFileBytes, .idle = kReadIdleLimit, .total = kReadLimit});
  if (!contents) return std::unexpected("cannot read " + shown + ": " + contents.error());
  auto scenario = parse_scenario(*contents);
  if (!scenario) return std::unexpected(shown + ": " + scenario.error());
  return scenario;
}

}  // namespace kestravo::audio::sim
