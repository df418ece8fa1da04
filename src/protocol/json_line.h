// A record's line: compact JSON, "type" first, ended by a line feed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/records.h"

namespace kestravo::protocol {

std::string encode_line(const Status& record);
// The levels record's line into `out`, whose storage is kept: the data
// callback writes one many times a second and must not allocate for it.
void encode_line(const LevelsRecord& record, std::string& out);

// JSON fragments, appended to `out`.
void append_string(std::string& out, std::string_view utf8);
void append_number(std::string& out, double value);
// The same text as append_number's at `out`, at most kNumberMax bytes;
// returns its end.
inline constexpr std::size_t kNumberMax = 24;
char* write_number(char* out, double value);

}  // namespace kestravo::protocol
