// An application's streams mixed into one, as the server hands their
// blocks over: cut anywhere, even inside a frame, and in any order.
#include "audio/pulse/mix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kestravo::audio::pulse {
namespace {

// Stereo frames (v, -v) for each v, as the server's bytes.
std::string frames(const std::vector<float>& values) {
  std::string bytes;
  for (const float v : values) {
    for (const float sample : {v, -v}) {
      bytes.append(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
  }
  return bytes;
}

std::vector<float> samples(const std::vector<char>& mix) {
  std::vector<float> out(mix.size() / sizeof(float));
  std::memcpy(out.data(), mix.data(), out.size() * sizeof(float));
  return out;
}

TEST(Mix, StreamsAddUpFrameByFrameWhereverTheirBlocksAreCut) {
  struct Block {
    int stream;
    std::size_t from, to;  // bytes of that stream's data
  };
  // Stream 0 plays 1, 2, 3, 4; stream 1 plays 10, 20, 30, 40: 8 bytes a frame.
  const struct {
    const char* name;
    std::vector<Block> blocks;
    std::vector<float> mixed;  // the left channel of each frame
  } cases[] = {
      {"whole frames", {{0, 0, 32}, {1, 0, 32}}, {11, 22, 33, 44}},
      {"one stream ahead", {{0, 0, 32}, {1, 0, 16}}, {11, 22, 3, 4}},
      {"cut inside a frame and inside a sample",
       {{0, 0, 5}, {1, 0, 11}, {0, 5, 32}, {1, 11, 32}},
       {11, 22, 33, 44}},
      {"a piece of a frame alone", {{0, 0, 3}, {0, 3, 6}, {0, 6, 16}}, {1, 2}},
  };
  const std::string data[] = {frames({1, 2, 3, 4}), frames({10, 20, 30, 40})};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> mix;
    MixCursor<2> cursors[2];
    for (const auto& b : c.blocks) {
      cursors[b.stream].add(mix, data[b.stream].data() + b.from, b.to - b.from);
    }
    std::vector<float> expected;
    for (const float v : c.mixed) expected.insert(expected.end(), {v, -v});
    EXPECT_EQ(samples(mix), expected);
  }
}

}  // namespace
}  // namespace kestravo::audio::pulse
