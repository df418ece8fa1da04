#include "audio/stall_watch.h"

namespace kestravo::audio {

void StallWatch::start_afresh() {
  silent_ = {};
  // An answer still to come belongs to the silence before.
  asked_at_limit_ = false;
}

StallWatch::Verdict StallWatch::look(const Look& look) {
  const auto elapsed = look.now - last_look_;
  last_look_ = look.now;
  bool confirmed = false;
  if (look.answered && asked_) {
    confirmed = asked_at_limit_;
    asked_.reset();
    asked_at_limit_ = false;
  }
  if (look.data || look.held_up || elapsed > kLateLook) {
    start_afresh();
    return Verdict::Fine;
  }
  if (asked_ && look.now - *asked_ > kAnswerWait) {
    // The server does not answer: its stall, not a loss. The question stays
    // open; its answer tells that the server is back.
    start_afresh();
    return Verdict::Fine;
  }
  silent_ += elapsed;
  if (silent_ >= limit_ && confirmed) return Verdict::Lost;
  if (asked_) return Verdict::Fine;
  // Asked on every look of a silence, so that time in which the server did
  // not answer is known and left out.
  asked_ = look.now;
  asked_at_limit_ = silent_ >= limit_;
  return Verdict::Ask;
}

}  // namespace kestravo::audio
