// Following the default endpoint: what the capture thread is told to do
// after each run of notifications. No system sends them here (Wine sends
// none), so the tests do.
#include "audio/default_follow.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestravo::audio {
namespace {

using Kind = DefaultFollow::Step::Kind;

struct Event {
  char what;  // D default changed, A added, R removed, I inactive, V active,
              // L stream lost, G look again, O now on `id`, T take
  std::string id;
  std::optional<DefaultFollow::Step> want = std::nullopt;  // for T
};

DefaultFollow::Step open(const std::string& id) { return {.kind = Kind::Open, .id = id}; }
const DefaultFollow::Step kOpenDefault{.kind = Kind::OpenDefault, .id = {}};
const DefaultFollow::Step kClose{.kind = Kind::Close, .id = {}};

TEST(DefaultFollow, MovesOnlyWhereTheNotificationsLead) {
  const struct {
    const char* name;
    std::vector<Event> events;  // from a capture on endpoint "a"
  } cases[] = {
      {"a new default, once", {{'D', "b"}, {'T', "", open("b")}, {'T', ""}}},
      {"changes in between make one step", {{'D', "b"}, {'D', "c"}, {'T', "", open("c")}}},
      {"back before the thread moved", {{'D', "b"}, {'D', "a"}, {'T', ""}}},
      {"others come and go", {{'A', "x"}, {'R', "x"}, {'V', "x"}, {'I', "x"}, {'T', ""}}},
      {"the endpoint removed, then the new default named",
       {{'R', "a"}, {'T', "", kOpenDefault}, {'O', "b"}, {'D', "b"}, {'T', ""}}},
      {"disabled before it was named", {{'D', "a"}, {'I', "a"}, {'T', "", kOpenDefault}}},
      {"the new default gone before the move", {{'D', "b"}, {'R', "b"}, {'T', "", kOpenDefault}}},
      {"plugged back in under the same id", {{'R', "a"}, {'D', "a"}, {'T', "", open("a")}}},
      {"its stream lost", {{'L', ""}, {'T', "", kOpenDefault}}},
      {"no default, then a device",
       {{'D', ""},
        {'T', "", kClose},
        {'O', ""},
        {'G', ""},
        {'T', "", kOpenDefault},
        {'O', ""},
        {'A', "x"},
        {'T', "", kOpenDefault}}},
      {"a look while running finds nothing to do", {{'G', ""}, {'T', ""}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DefaultFollow follow("a");
    for (std::size_t i = 0; i < c.events.size(); ++i) {
      const Event& e = c.events[i];
      SCOPED_TRACE(i);
      switch (e.what) {
        case 'D':
          follow.default_changed(e.id);
          break;
        case 'A':
          follow.added(e.id);
          break;
        case 'R':
          follow.removed(e.id);
          break;
        case 'I':
          follow.state_changed(e.id, false);
          break;
        case 'V':
          follow.state_changed(e.id, true);
          break;
        case 'L':
          follow.stream_lost();
          break;
        case 'G':
          follow.look_again();
          break;
        case 'O':
          follow.now_on(e.id);
          break;
        default:
          EXPECT_EQ(follow.take(), e.want);
      }
    }
  }
}

}  // namespace
}  // namespace kestravo::audio
