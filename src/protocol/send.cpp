#include "protocol/send.h"

#include "protocol/json_line.h"

namespace kestravo::status {

void emit(Output& out, const Status& record) { out.write_all(encode_line(record)); }

void emit_status(const Status& record) { standard_error().post(encode_line(record)); }

void emit_stdout(const Status& record) { emit(standard_output(), record); }

}  // namespace kestravo::status
