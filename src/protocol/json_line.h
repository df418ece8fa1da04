// A record's line: compact JSON, "type" first, ended by a line feed.
#pragma once

#include <string>
#include <string_view>

#include "protocol/records.h"

namespace kestravo::status {

std::string encode_line(const Status& record);

// JSON fragments, appended to `out`.
void append_string(std::string& out, std::string_view utf8);
void append_number(std::string& out, double value);

}  // namespace kestravo::status
