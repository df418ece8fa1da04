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
// scenario is read (a schema error); otherwise they are checked when the
// stream is built, and a sample the element type cannot carry makes the
// build fail with a backend-specific error naming the sample.
//
// A fixed buffer size in the StreamConfig overrides the scenario's
// buffer_frames for generated buffers.
#pragma once

#include <memory>

#include "audio/audio.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

std::unique_ptr<Host> make_host(Scenario scenario);

}  // namespace kestravo::audio::sim
