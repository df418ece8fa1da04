// Which endpoint a capture of "the default device" runs on, decided from
// what the system tells about its endpoints, and nothing else: the capture
// thread does what it says, and a test can tell it anything.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kestravo::audio {

class DefaultFollow {
 public:
  // What the capture thread is to do next.
  struct Step {
    enum class Kind {
      Open,         // open endpoint `id`
      OpenDefault,  // ask the system for its default now and open that
      Close,        // there is no default: keep time with silence
    };
    Kind kind;
    std::string id;  // for Open
    friend bool operator==(const Step&, const Step&) = default;
  };

  // `on`: the endpoint the capture started on; empty for none.
  explicit DefaultFollow(std::string on) : on_(std::move(on)) {}

  // The notifications, for the direction and role followed only. An empty
  // `id`: there is no default any more.
  void default_changed(const std::string& id);
  void added(const std::string& id);
  void removed(const std::string& id);
  void state_changed(const std::string& id, bool active);
  // The stream of the endpoint it runs on failed (the endpoint went away).
  void stream_lost();
  // The capture thread looks now and then while it runs on nothing.
  void look_again();

  // The step decided since the last take, if any; several notifications in
  // between make one step.
  std::optional<Step> take();
  // The capture thread ran the step: it now runs on `id` (empty: nothing,
  // when the open failed or there was no default).
  void now_on(std::string id) { on_ = std::move(id); }

 private:
  // The endpoint the capture runs on once the pending step is done.
  const std::string& heading() const;
  void ask_default();

  std::string on_;
  std::optional<Step> pending_;
};

}  // namespace kestravo::audio
