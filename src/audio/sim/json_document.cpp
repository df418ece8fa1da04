#include "audio/sim/json_document.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "text/utf8.h"

namespace kestravo::audio::sim {

namespace {

// The reader's own limits. Real scenarios are far below them; beyond them a
// file is a broken scenario, never a crash, a hang or a machine out of memory.
// Nesting: the schema needs 6 levels.
constexpr std::size_t kMaxDepth = 64;
// Values and keys together, explicit samples included; the document they
// make takes at most a few hundred megabytes.
constexpr std::size_t kMaxValues = std::size_t{1} << 22;

// The parser quotes everything it read of the token it gave up on, which
// can be most of the file; keep the end, where the mistake is. Cut on a
// character boundary.
std::string shorten_last_read(std::string message) {
  static constexpr std::string_view kLastRead = "last read: '";
  const auto at = message.find(kLastRead);
  if (at == message.npos) return message;
  // The parser's own ending ("'; expected string literal") is the last of
  // the message and short; the token can hold those words itself.
  static constexpr std::string_view kExpected = "'; expected ";
  static constexpr std::size_t kExpectedLimit = 32;
  const auto begin = at + kLastRead.size();
  auto end = message.rfind(kExpected);
  if (end == message.npos || end < begin ||
      message.size() - end - kExpected.size() > kExpectedLimit) {
    end = message.ends_with('\'') ? message.size() - 1 : message.size();
  }
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

}  // namespace

std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  while (!text.empty()) {
    const text::Utf8Char c = text::utf8_first_char(text);
    char escaped[8];
    std::string_view piece = text.substr(0, c.length);
    if (!c.well_formed) {
      std::snprintf(escaped, sizeof escaped, "<0x%02X>", static_cast<unsigned char>(text[0]));
      piece = escaped;
    }
    if (out.size() + piece.size() > limit) return out + "...";
    out += piece;
    text.remove_prefix(c.well_formed ? c.length : 1);
  }
  return out;
}

std::string describe(const json& value) {
  const auto scalar = [](const json& v) {
    if (v.is_array()) return std::string(v.empty() ? "[]" : "[...]");
    if (v.is_object()) return std::string(v.empty() ? "{}" : "{...}");
    if (!v.is_string()) return v.dump();
    // The parser has made sure that strings are well-formed UTF-8.
    const auto& s = v.get_ref<const json::string_t&>();
    std::size_t keep = 0;
    for (std::size_t n = 0; keep < s.size(); keep += n) {
      n = text::utf8_first_char(std::string_view(s).substr(keep)).length;
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

std::expected<json, std::string> read_json_document(std::string_view text) {
  json document;
  try {
    Builder builder(document);
    if (!json::sax_parse(text.begin(), text.end(), &builder)) {
      return std::unexpected(builder.take_error());
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected("not enough memory to read the document");
  }
  return document;
}

}  // namespace kestravo::audio::sim
