// The scenario's JSON as a document, read with limits that keep any file
// from exhausting the stack, the memory or the reader's patience, and the
// way reasons quote what the file holds. Only the simulated host reads JSON.
#pragma once

#include <cstddef>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestravo::audio::sim {

using json = nlohmann::json;

// Values and keys quoted in a reason are cut to this many bytes, so a
// reason stays short whatever the file holds.
inline constexpr std::size_t kQuoteLimit = 40;

// `text` as valid UTF-8 of at most about `limit` bytes: each byte that is
// not part of a well-formed character becomes "<0xNN>", and a cut, marked
// "...", never falls inside a character.
std::string printable(std::string_view text, std::size_t limit = std::string_view::npos);

// A value as a reason quotes it: scalars as written, containers one level
// deep (nested ones as [...] and {...}), so no value is ever dumped whole.
std::string describe(const json& value);

// The document in `text`; the error is the reason, naming the position or
// the path of the value at fault. Nesting, the number of values and keys,
// and duplicate keys are refused.
std::expected<json, std::string> read_json_document(std::string_view text);

}  // namespace kestravo::audio::sim
