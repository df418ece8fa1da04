// Which capture channel each of an application's output ports feeds, for the
// layouts the end-to-end test (stereo players) does not play.
#include "audio/pipewire/routing.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kestravo::audio::pipewire {
namespace {

TEST(RouteToStereo, FrontPairOrMonoToBothAndNothingElse) {
  constexpr std::uint8_t L = kToLeft, R = kToRight, B = kToLeft | kToRight;
  const struct {
    std::vector<std::string_view> channels;
    std::vector<std::uint8_t> routes;
  } cases[] = {
      {{"FL", "FR"}, {L, R}},
      {{"FR", "FL"}, {R, L}},  // by position, not by order
      {{"MONO"}, {B}},
      {{"FC"}, {B}},  // a single port is mono whatever it is called
      {{"FL", "FR", "FC", "LFE", "RL", "RR"}, {L, R, 0, 0, 0, 0}},
      {{"FC", "LFE", "FL", "FR"}, {0, 0, L, R}},
      {{"AUX0", "AUX1", "AUX2"}, {L, R, 0}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(route_to_stereo(c.channels), c.routes) << ::testing::PrintToString(c.channels);
  }
}

}  // namespace
}  // namespace kestravo::audio::pipewire
