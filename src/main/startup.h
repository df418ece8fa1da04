#pragma once

namespace kestravo {

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null where they were
// closed), moves the program's own output to private copies of 1 and 2
// (take_standard_streams) and ignores SIGPIPE for the life of the process, so a write to a
// closed pipe fails instead of killing us. Runs before anything else.
void prepare_process();

}  // namespace kestravo
