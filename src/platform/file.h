// Reading a whole file whose path comes from outside (a scenario named in the
// environment), with limits, so that a device, a FIFO or a huge file is a
// reported failure rather than a hang or a machine out of memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>

namespace kestravo::platform {

struct FileLimits {
  // More than this is a failure, "more than N MiB, the reader's limit".
  std::size_t max_bytes = 0;
  // Where the system can wait for input (a FIFO, a terminal): nothing for
  // this long, or not done after `total`, gives up.
  std::chrono::seconds idle{0};
  std::chrono::seconds total{0};
};

// The file's whole contents, or why not, in words.
std::expected<std::string, std::string> read_whole_file(const std::string& path,
                                                        const FileLimits& limits);

}  // namespace kestravo::platform
