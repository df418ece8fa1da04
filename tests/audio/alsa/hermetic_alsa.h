// A self-contained ALSA configuration for the host's tests. ALSA_CONFIG_PATH
// replaces alsa.conf entirely, so every PCM a test uses is defined here, and
// no sound card or user configuration of the machine can leak in.
//
// alsa-lib caches opened configurations by path and modification time in
// whole seconds, so each configuration is written once, to a fresh folder.
#pragma once

#include <cstdint>
#include <string>

#include "support/child.h"

namespace kestravo::testing {

// The PCMs, in hint order:
//   capfile   file over null, reads `infile` as raw frames of whatever format,
//             channel count and rate the client asks for
//   mapped    null with channel maps for 2, 1 and 32 channels; the 32-channel
//             map starts with a phase-inverted and a driver-specific position
//   smallmaps null with maps for 2 and 4 channels only
//   broken    file PCM whose infile is missing: hinted, but does not open
//   speaker   null hinted as playback only
//   ghost     a capture hint for a PCM that is not defined
struct HermeticAlsa {
  TempDir dir;
  std::string infile_bytes;
  std::string infile;
  std::string config;

  // `infile_size` bytes of a pattern with no short period, so that a
  // misplaced or repeated chunk shows.
  explicit HermeticAlsa(std::size_t infile_size = 1 << 20) {
    infile_bytes.resize(infile_size);
    std::uint32_t x = 0x12345678;
    for (char& byte : infile_bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      byte = static_cast<char>(x >> 24);
    }
    infile = dir.write("known-samples.raw", infile_bytes);
    config = dir.write("asound.conf", R"(
pcm.capfile {
  type file
  slave.pcm { type null }
  file "/dev/null"
  infile ")" + infile + R"("
  format "raw"
  hint { show on description "Capture from a file" }
}
pcm.mapped {
  type null
  chmap [ "FL,FR" "MONO"
    "FL[INV],131076,FC,LFE,RL,RR,FLC,FRC,RC,SL,SR,TC,TFL,TFC,TFR,TRL,TRC,TRR,TFLC,TFRC,LLFE,RLFE,TSL,TSR,BC,BLC,BRC,NA,UNKNOWN,MONO,FL,FR" ]
  hint { show on description "Null with channel maps" }
}
pcm.smallmaps {
  type null
  chmap [ "FL,FR" "FL,FR,FC,LFE" ]
  hint { show on description "Null with small channel maps" }
}
pcm.broken {
  type file
  slave.pcm { type null }
  file "/dev/null"
  infile ")" + dir.path() + R"(/missing.raw"
  format "raw"
  hint { show on description "Listed but cannot be opened" }
}
pcm.speaker { type null }
namehint.pcm {
  speaker "speaker|DESCPlayback only|IOIDOutput"
  ghost "ghost|DESCNot defined|IOIDInput"
}
)");
  }
};

}  // namespace kestravo::testing
