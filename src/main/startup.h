#pragma once

namespace kestravo {

// Makes sure the standard streams are open (on the null device where they
// were closed), moves the program's own output to private copies of standard
// output and error, and makes a write to a closed pipe fail instead of
// killing us (platform::prepare_process). Runs before anything else.
void prepare_process();

}  // namespace kestravo
