#pragma once

namespace kestravo::main {

// The whole program: start-up, the command line, then listing or capture.
// Ends the process itself; the executables differ only in the host they link.
[[noreturn]] int app_main(int argc, char** argv);

}  // namespace kestravo::main
