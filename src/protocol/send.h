// Sending a record's line to the parent.
#pragma once

#include "platform/output.h"
#include "protocol/records.h"

namespace kestravo::protocol {

// Writes the record's line to `out` as one unit, waiting as long as the
// stream takes. Failures are dropped.
void write_record(platform::Output& out, const Status& record);
// Queues the record's line for standard error, whose own thread writes it:
// the caller never waits for a parent that does not drain standard error,
// and the line is never dropped. See platform::standard_error().drain() for waiting
// until it is out.
void queue_on_standard_error(const Status& record);
// write_record to standard output.
void write_to_standard_output(const Status& record);

}  // namespace kestravo::protocol
