#include "audio/default_follow.h"

#include <utility>

namespace kestravo::audio {

const std::string& DefaultFollow::heading() const {
  if (pending_ && pending_->kind == Step::Kind::Open) return pending_->id;
  return on_;
}

void DefaultFollow::ask_default() { pending_ = Step{.kind = Step::Kind::OpenDefault, .id = {}}; }

void DefaultFollow::default_changed(const std::string& id) {
  if (id.empty()) {
    pending_ = Step{.kind = Step::Kind::Close, .id = {}};
  } else if (id == on_ && (!pending_ || pending_->kind != Step::Kind::OpenDefault)) {
    // Back where it runs before the capture thread moved.
    pending_.reset();
  } else {
    pending_ = Step{.kind = Step::Kind::Open, .id = id};
  }
}

void DefaultFollow::added(const std::string& id) {
  // A new endpoint is no new default unless the system says so; but a
  // capture that runs on nothing tries it.
  if (!id.empty() && on_.empty() && !pending_) ask_default();
}

void DefaultFollow::removed(const std::string& id) {
  // The system names the new default as well, but perhaps only later.
  if (!id.empty() && id == heading()) ask_default();
}

void DefaultFollow::state_changed(const std::string& id, bool active) {
  if (active) {
    added(id);
  } else {
    removed(id);
  }
}

void DefaultFollow::stream_lost() {
  if (!pending_) ask_default();
}

void DefaultFollow::look_again() {
  if (on_.empty() && !pending_) ask_default();
}

std::optional<DefaultFollow::Step> DefaultFollow::take() { return std::exchange(pending_, {}); }

}  // namespace kestravo::audio
