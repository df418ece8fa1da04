#include "main/app.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "capture/capture.h"
#include "listing/listing.h"
#include "main/command_line.h"
#include "platform/process.h"
#include "protocol/fail.h"

namespace kestravo::main {

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
  // Before anything else: the standard streams open (on the null device
  // where they were closed), the program's own output on private copies of
  // them, and a write to a closed pipe an error instead of a signal.
  platform::prepare_process();
  // Lives until the exit: a host's threads may still call back while a
  // fatal record is written.
  std::unique_ptr<audio::Host> host;
  // One budget for all the waiting an operation does, from its start.
  const auto open_host = [&host] {
    host = audio::default_host(audio::Deadline::after(audio::kAnswerBudget));
    return std::ref(*host);
  };
  const std::optional<protocol::ErrorRecord> fatal = std::visit(
      Overloaded{
          [](const CommandError& error) -> std::optional<protocol::ErrorRecord> {
            return protocol::ErrorRecord::of(error.code, error.message);
          },
          [&](const ListCommand&) -> std::optional<protocol::ErrorRecord> {
            listing::list_drivers(open_host());
            return std::nullopt;
          },
          [&](const capture::CaptureRequest& request) -> std::optional<protocol::ErrorRecord> {
            // Returns only when no capture could start: once it has run, it
            // ends the process itself, before the host is destroyed.
            const auto error = capture::run_capture(open_host(), request);
            return protocol::ErrorRecord::of(error.code, error.message);
          },
      },
      read_command_line(argc, argv));
  if (fatal) protocol::fail(*fatal);
  // After a listing. exit_now, not exit: a host thread may still be
  // running, and static destruction must not race it. Every output is
  // already written; nothing is buffered.
  platform::exit_now(0);
}

}  // namespace kestravo::main
