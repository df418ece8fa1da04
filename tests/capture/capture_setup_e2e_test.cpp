// Capture setup on the simulated host, run as the parent runs it: how each
// kind of refusal reaches the parent, and the ready record of the requests
// that start. The rules of choosing a stream are choose_test's.
#include <gtest/gtest.h>

#include "capture/e2e_support.h"
#include "capture/mixed_device.h"

namespace kestravo::testing {
namespace {

namespace code = protocol::code;

const std::string kNotSupported =
    "The requested stream configuration is not supported by the device.";

// One device named "Mic" with `rest` as the remaining keys of its object.
std::string mic(const std::string& rest) { return R"({"devices":[{"name":"Mic",)" + rest + "}]}"; }

const std::string kMixed = mixed_configs_json();

struct Refusal {
  const char* name;
  std::string scenario;
  std::vector<std::string> args;
  std::string line;
};

TEST(CaptureSetup, RefusedRequestsWriteOneErrorAndExit1) {
  const std::string cannot_decode =
      "this device reports a sample format KESTRAVO cannot decode (I32); capture would "
      "otherwise start and produce silence with no error";
  const std::string one_range =
      R"("configs":[{"channels":2,"min_rate":8000,"max_rate":48000,"format":"F32"}])";
  const Refusal cases[] = {
      {"enumeration fails", R"({"enumeration_error":"status -50"})", capture_args("Mic", "0"),
       error_line(code::driver_not_found, "A backend-specific error has occurred: status -50")},
      {"no such device", mic(one_range), capture_args("Microphone", "0"),
       error_line(code::driver_not_found, "no input device named 'Microphone'")},
      {"letter case matters", mic(one_range), capture_args("mic", "0"),
       error_line(code::driver_not_found, "no input device named 'mic'")},
      {"trailing space kept", mic(one_range), capture_args("Mic ", "0"),
       error_line(code::driver_not_found, "no input device named 'Mic '")},
      {"empty name", mic(one_range), capture_args("", "0"),
       error_line(code::driver_not_found, "no input device named ''")},
      {"output-only device is not found", R"({"devices":[{"name":"Mic"}]})",
       capture_args("Mic", "0"), error_line(code::driver_not_found, "no input device named 'Mic'")},
      {"unreadable name is passed over", R"({"devices":[{"name_error":"x",)" + one_range + "}]}",
       capture_args("", "0"), error_line(code::driver_not_found, "no input device named ''")},
      {"configurations fail on the second read",
       mic(one_range + R"(,"configs_error":"device_not_available","configs_fail_after":1)"),
       capture_args("Mic", "0"), error_line(code::driver_open_failed, kDeviceGone)},
      {"channel beyond the widest range", mic(kMixed), capture_args("Mic", "3,4"),
       error_line(code::channel_out_of_range, "channel 4 not available (device has 4)")},
      {"bad channel reported before bad rate", mic(kMixed), capture_args("Mic", "9", "1"),
       error_line(code::channel_out_of_range, "channel 9 not available (device has 4)")},
      {"rate only in a narrower range", mic(kMixed), capture_args("Mic", "0", "44100"),
       error_line(code::sample_rate_unsupported, "device will not run at 44100 Hz")},
      {"rate 0", mic(kMixed), capture_args("Mic", "0", "0"),
       error_line(code::sample_rate_unsupported, "device will not run at 0 Hz")},
      {"undecodable format",
       mic(R"("configs":[{"channels":2,"min_rate":48000,"max_rate":48000,"format":"I32"}])"),
       capture_args("Mic", "0"), error_line(code::sample_format_unsupported, cannot_decode)},
      {"build fails", mic(one_range + R"(,"build_error":"stream_id_overflow")"),
       capture_args("Mic", "0"),
       error_line(code::driver_open_failed, "Adding a new stream ID would cause an overflow")},
      {"rate switch impossible", mic(one_range + R"(,"nominal_rate":48000)"),
       capture_args("Mic", "0", "44100"), error_line(code::driver_open_failed, kNotSupported)},
      {"start fails", mic(one_range + R"(,"play_error":"device_not_available")"),
       capture_args("Mic", "0"),
       error_line(code::driver_open_failed,
                  "the device associated with the stream is no longer available")},
      // The stream never starts, so there is no PCM either.
      {"start slower than the budget", mic(one_range + R"(,"ready_delay_ms":1e9)"),
       capture_args("Mic", "0"),
       error_line(code::driver_open_failed,
                  "The requested device did not answer within 2 seconds.")},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const auto result = run(sim_exe(), c.args, {}, with_scenario(dir, c.scenario));
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_EQ(result.err, c.line) << c.name;
    // A start failure may follow delivered buffers; nothing else may write PCM.
    if (std::string_view(c.name) != "start fails") {
      EXPECT_EQ(result.out, "") << c.name;
    }
  }
}

struct Start {
  const char* name;
  std::string scenario;
  std::vector<std::string> args;
  std::string ready;
};

TEST(CaptureSetup, AcceptedRequestsAnnounceTheStream) {
  // A silent stream that delivers nothing keeps the output to the records.
  const std::string quiet = R"("stream":{"max_buffers":0})";
  const Start cases[] = {
      {"duplicates count in the frame", mic(kMixed + "," + quiet), capture_args("Mic", "3,1,1"),
       ready_line(48000, 3)},
      {"slow start within the budget", mic(kMixed + "," + quiet + R"(,"ready_delay_ms":20)"),
       capture_args("Mic", "0"), ready_line(48000, 1)},
      {"requested rate picks its range", mic(kMixed + "," + quiet + R"(,"nominal_rate":96000)"),
       capture_args("Mic", "0", "96000"), ready_line(96000, 1)},
      {"fitting default trusted beyond the ranges",
       mic(kMixed + "," + quiet +
           R"(,"default_config":{"channels":4,"rate":44100,"format":"F32"},"nominal_rate":44100)"),
       capture_args("Mic", "0,3"), ready_line(44100, 2)},
      {"rate switch to an exact entry",
       mic(R"("configs":[{"channels":2,"min_rate":8000,"max_rate":48000,"format":"F32"}],)" +
           quiet + R"(,"nominal_rate":48000,"available_rates":[[8000,48000],[16000,16000]])"),
       capture_args("Mic", "1", "16000"), ready_line(16000, 1)},
      {"first of two devices with the name",
       R"({"devices":[{"name":"Mic","configs":[{"channels":1,"min_rate":22050,"max_rate":22050,"format":"I16"}],)" +
           quiet +
           R"(},{"name":"Mic","configs":[{"channels":1,"min_rate":48000,"max_rate":48000,"format":"I16"}],)" +
           quiet + "}]}",
       capture_args("Mic", "0"), ready_line(22050, 1)},
      {"unreadable name passed over, next device matches",
       R"({"devices":[{"name_error":"x","configs":[{"channels":1,"min_rate":22050,"max_rate":22050,"format":"I16"}]},)"
       R"({"name":"Mic","configs":[{"channels":1,"min_rate":32000,"max_rate":32000,"format":"I16"}],)" +
           quiet + "}]}",
       capture_args("Mic", "0"), ready_line(32000, 1)},
      {"ill-formed name opened as the listing shows it",
       R"({"devices":[{"name":{"hex":"4d6963ff"},"configs":[{"channels":1,"min_rate":16000,"max_rate":16000,"format":"I16"}],)" +
           quiet + "}]}",
       capture_args("Mic\xEF\xBF\xBD", "0"), ready_line(16000, 1)},
      {"ill-formed argument decoded the same way",
       R"({"devices":[{"name":{"hex":"4d6963ff"},"configs":[{"channels":1,"min_rate":16000,"max_rate":16000,"format":"I16"}],)" +
           quiet + "}]}",
       capture_args("Mic\xFF", "0"), ready_line(16000, 1)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const auto result = run(sim_exe(), c.args, {}, with_scenario(dir, c.scenario));
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.err, c.ready) << c.name;
    EXPECT_EQ(result.out, "") << c.name;
  }
}

}  // namespace
}  // namespace kestravo::testing
