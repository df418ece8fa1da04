#include "capture/stream_run.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/output.h"
#include "platform/process.h"
#include "protocol/send.h"
#include "samples/callback.h"

namespace kestravo::capture {

namespace {

// From the end of the lifeline: how long a callback may take to finish its
// block, and by when the process exits, whatever either output's reader
// does. The release of the stream lies in between and counts against the
// same 70 ms (hosts bound theirs, see audio.h); the rest of the 100 ms the
// parent is promised is for the exit itself.
constexpr auto kFinishBlockWait = std::chrono::milliseconds(40);
constexpr auto kExitWait = std::chrono::milliseconds(70);

// Runs on a host thread, possibly the data thread; the host never calls it
// twice at once. A lost device does not end the process: the parent learns
// of it from the record and ends the capture through the lifeline.
void report_stream_error(const audio::StreamError& error) {
  protocol::queue_on_standard_error(
      protocol::ErrorRecord::of(protocol::code::device_disconnected, error.text()));
}

}  // namespace

SetupError build_and_run(audio::Device& device, const audio::StreamConfig& config,
                         audio::SampleFormat format, std::span<const std::uint64_t> selected) {
  static_assert(sizeof(std::size_t) >= sizeof(std::uint64_t));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto active = std::make_shared<std::atomic<unsigned>>(0);
  samples::CallbackSetup setup{
      .selected = std::vector<std::size_t>(selected.begin(), selected.end()),
      .stop = stop,
      .level_clock = std::make_shared<samples::LevelClock>(),
      .channel_count = config.channels,
      .active = active,
  };
  // Every status line goes through standard error's own thread: a parent
  // that never reads standard error must hold up neither the PCM nor the
  // lifeline. Started before the stream, not by the first levels record on
  // a host's thread.
  platform::standard_error().start();
  auto data_callback = samples::make_data_callback(
      format, std::move(setup),
      samples::Sinks{platform::standard_output(), platform::standard_error()});
  if (!data_callback) {
    return SetupError{protocol::code::sample_format_unsupported,
                      "unsupported sample format reached build_and_run: " +
                          std::string(audio::sample_format_name(format)) +
                          " (should have been rejected earlier)"};
  }

  auto stream = device.build_input_stream(config, std::move(*data_callback), report_stream_error);
  if (!stream) return SetupError{protocol::code::driver_open_failed, stream.error().text()};
  if (auto played = (*stream)->play(); !played) {
    // The stream may already be delivering: silence it first, so nothing
    // follows the error record while the process exits, and leave it to the
    // exit: releasing a stream can take longer than the record may wait.
    stop->store(true, std::memory_order_relaxed);
    static_cast<void>(stream->release());
    return SetupError{protocol::code::driver_open_failed, played.error().text()};
  }

  // Queued: it waits for room on standard error while the lifeline is
  // polled below and the PCM flows.
  protocol::queue_on_standard_error(protocol::ReadyRecord{
      static_cast<double>(config.sample_rate), static_cast<std::uint64_t>(selected.size())});

  platform::wait_for_end_of_input();

  // The flag, not the release, silences the stream: a host may keep calling
  // back after the stream is gone, until the process exits. A callback in the
  // middle of its block gets a while to finish it; one that a slow reader
  // holds up longer is cut short by the exit, between two frames (the PCM
  // goes out in whole frames, see platform::Output::write_units).
  const auto ended = std::chrono::steady_clock::now();
  samples::stop_and_wait(stop, active, ended + kFinishBlockWait);
  stream->reset();
  stop.reset();
  // Records still queued (the ready record, a stream error just before the
  // end) go out while they can without delaying the exit.
  platform::standard_error().drain(ended + kExitWait);
  // Exit here, not after the device and the host are destroyed: closing a
  // connection to a sound server can take longer than what is left. PCM
  // still waiting for standard output's reader (platform::PcmOutput) is left behind;
  // the pipe holds whole frames whenever the exit comes.
  platform::exit_now(0);
}

}  // namespace kestravo::capture
