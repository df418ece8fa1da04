#include "protocol/send.h"

#include "protocol/json_line.h"

namespace kestravo::protocol {

void write_record(platform::Output& out, const Status& record) {
  out.write_all(encode_line(record));
}

void queue_on_standard_error(const Status& record) {
  platform::standard_error().queue(encode_line(record));
}

void write_to_standard_output(const Status& record) {
  write_record(platform::standard_output(), record);
}

}  // namespace kestravo::protocol
