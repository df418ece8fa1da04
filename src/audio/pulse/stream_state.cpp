#include "audio/pulse/stream_state.h"

#include <algorithm>

namespace kestravo::audio::pulse {

// A stream that keeps time also learns here, at least every tick (the loop
// ends a turn that often), whether silence is due: while the server sends
// nothing, and its data once it catches up, are its pacer's to decide.
void at_turn_end(void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  // Most turns of a stream that does not keep time: nothing left over.
  if (s.pending.empty() && !s.pacer) return;
  const std::size_t frames = s.pending.size() / s.frame_bytes;
  if (frames == 0 && !s.pacer) return;
  const StreamLifetime::ForeignCallback running(*s.lifetime);
  const bool passing = !s.lifetime->stopping() && !s.lifetime->lost();
  const auto now = Clock::now();
  if (frames > 0) {
    const std::size_t dropped = s.pacer ? s.pacer->on_data(now, frames) : 0;
    // The vector's storage is aligned for every sample type; its capacity
    // stays, so the stream allocates only while it learns its block size.
    if (passing && frames > dropped) {
      s.deliver(s.pending.data() + dropped * s.frame_bytes, frames - dropped, true);
    }
    s.pending.erase(s.pending.begin(),
                    s.pending.begin() + static_cast<std::ptrdiff_t>(frames * s.frame_bytes));
  }
  if (!s.pacer || !passing) return;
  const std::size_t room = s.silence.size() / s.frame_bytes;
  for (std::uint64_t due = s.pacer->on_tick(now); due > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(due, room));
    s.deliver(s.silence.data(), n, false);
    due -= n;
  }
}

}  // namespace kestravo::audio::pulse
