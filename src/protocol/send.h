// Sending a record's line to the parent.
#pragma once

#include "platform/output.h"
#include "protocol/records.h"

namespace kestravo::status {

// Writes the record's line to `out` as one unit. Failures are dropped.
void emit(Output& out, const Status& record);
// Queues the record for standard error, whose own thread writes it: the
// caller never waits for a parent that does not drain standard error. See
// standard_error().drain() for waiting until it is out.
void emit_status(const Status& record);
// emit to standard output, waiting as long as the reader takes.
void emit_stdout(const Status& record);

}  // namespace kestravo::status
