// The simulated host: devices and streams described by a scenario instead
// of an audio platform, for tests and for machines without audio hardware.
//
// default_host() reads the scenario file named by KESTRAVO_SIM_SCENARIO
// (the built-in scenario when unset or empty) at the moment it is called.
// A scenario that cannot be used ends the process: one line
// "kestravo-sim: scenario: REASON" on standard error, nothing on standard
// output, exit status 2.
//
// Sample format of a stream: a stream carries the element type of the data
// callback it was built with (f32, i16 or u16), which is the format the
// caller chose from the device's configurations. Generated signals are
// produced directly in that type. Explicit scenario buffers are raw samples
// and are never converted: when a device offers only one of the formats
// F32, I16 and U16, its buffers are checked against that format while the
// scenario is read; otherwise they are checked when the stream is built.
// Either way a sample the element type cannot carry is a broken scenario
// and ends the process as above, before the stream could write a record.
//
// A fixed buffer size in the StreamConfig overrides the scenario's
// buffer_frames for generated buffers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "audio/audio.h"
#include "audio/deadline.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

// SOURCE names the scenario's file in a harness failure ("" for none). A
// device's ready_delay_ms that would end past `budget` makes its stream
// fail to build, at the budget, as a device that does not answer.
std::unique_ptr<Host> make_host(Scenario scenario, const std::string& source = "",
                                Deadline budget = Deadline::after(kAnswerBudget));

// The harness's failure, not the tool's: "kestravo-sim: scenario: REASON"
// on standard error as one line, no status record, exit status 2.
[[noreturn]] void harness_failure(std::string_view reason);

}  // namespace kestravo::audio::sim
