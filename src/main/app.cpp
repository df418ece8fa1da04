#include "main/app.h"

#include <unistd.h>

#include <string>
#include <vector>

#include "audio/audio.h"
#include "capture/capture.h"
#include "listing/listing.h"
#include "main/command_line.h"
#include "main/fail.h"
#include "main/startup.h"
#include "status/utf8.h"

namespace kestravo {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

}  // namespace

int app_main(int argc, char** argv) {
  prepare_process();
  // Arguments are decoded once, here, so every text that can reach a record
  // is valid UTF-8.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(utf8_lossy(argv[i]));

  std::visit(Overloaded{
                 [](const CommandError& error) { fail(error.code, error.message); },
                 [](const ListCommand&) {
                   const auto host = audio::default_host();
                   listing::list_drivers(*host);
                 },
                 [](const capture::CaptureRequest& request) {
                   const auto host = audio::default_host();
                   capture::run_capture(*host, request);
                 },
             },
             parse_command_line(args));
  // _exit, not exit: a host thread may still be running (the platform does
  // not promise to stop callbacks on release), and static destruction must
  // not race it. Every output is already written; nothing is buffered.
  ::_exit(0);
}

}  // namespace kestravo
