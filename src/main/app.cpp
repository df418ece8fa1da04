#include "main/app.h"

#include <string>
#include <vector>

#include "audio/audio.h"
#include "capture/capture.h"
#include "listing/listing.h"
#include "main/command_line.h"
#include "main/startup.h"
#include "platform/process.h"
#include "protocol/fail.h"

namespace kestravo {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// clang before 17 does not deduce aggregate template arguments itself.
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

int app_main(int argc, char** argv) {
  prepare_process();
  std::visit(
      Overloaded{
          [](const CommandError& error) { fail(error.code, error.message); },
          // One budget for all the waiting an operation does, from its start.
          [](const ListCommand&) {
            const auto host = audio::default_host(audio::Deadline::after(audio::kAnswerBudget));
            listing::list_drivers(*host);
          },
          [](const capture::CaptureRequest& request) {
            const auto host = audio::default_host(audio::Deadline::after(audio::kAnswerBudget));
            // Ends the process itself, before the host is destroyed.
            capture::run_capture(*host, request);
          },
      },
      read_command_line(argc, argv));
  // After a listing. exit_now, not exit: a host thread may still be
  // running, and static destruction must not race it. Every output is
  // already written; nothing is buffered.
  platform::exit_now(0);
}

}  // namespace kestravo
