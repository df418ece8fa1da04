#include "protocol/json_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "protocol/send.h"

namespace kestravo::protocol {
namespace {

std::string number(double value) {
  std::string out;
  append_number(out, value);
  return out;
}

TEST(Status, RecordLines) {
  struct Case {
    Status record;
    std::string line;
  };
  const Case cases[] = {
      {ReadyRecord{48000, 2}, R"({"type":"ready","sampleRate":48000.0,"channels":2})"},
      {ReadyRecord{44100, 1}, R"({"type":"ready","sampleRate":44100.0,"channels":1})"},
      {LevelsRecord{{0.0123, 0.000030517578125}, {0.5, 0.0}},
       R"({"type":"levels","rms":[0.0123,0.000030517578125],"peak":[0.5,0.0]})"},
      {LevelsRecord{{0.0, 0.0}, {0.0, 0.0}},
       R"({"type":"levels","rms":[0.0,0.0],"peak":[0.0,0.0]})"},
      {LevelsRecord{{std::nan("")}, {}}, R"({"type":"levels","rms":[null],"peak":[]})"},
      {ErrorRecord{code::driver_not_found, "no --driver given"},
       R"({"type":"error","code":"driver_not_found","message":"no --driver given"})"},
      {ErrorRecord{code::device_disconnected,
                   "The requested device is no longer available. For example, it has been "
                   "unplugged."},
       R"({"type":"error","code":"device_disconnected","message":"The requested device is no longer available. For example, it has been unplugged."})"},
      {DriversRecord{{DriverInfo{"Microphone", 2, 44100.0, std::vector<std::string>{"Left", ""}},
                      DriverInfo{"Mic", 1, std::nullopt, std::nullopt}}},
       R"({"type":"drivers","drivers":[{"name":"Microphone","inputs":2,"sampleRate":44100.0,"channelNames":["Left",""]},{"name":"Mic","inputs":1}]})"},
      {DriversRecord{}, R"({"type":"drivers","drivers":[]})"},
      {DriversRecord{{DriverInfo{"Neg", -3, std::numeric_limits<double>::infinity(),
                                 std::vector<std::string>{}}}},
       R"({"type":"drivers","drivers":[{"name":"Neg","inputs":-3,"sampleRate":null,"channelNames":[]}]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_line(c.record), c.line + "\n");
}

TEST(Status, StringEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"a\"b\\c\td", R"("a\"b\\c\td")"},
      {std::string("\x01\x1b\x1f", 3), R"("\u0001\u001b\u001f")"},
      {std::string("\0", 1), R"("\u0000")"},
      {"\b\f\n\r", R"("\b\f\n\r")"},
      {"/ \x7f", "\"/ \x7f\""},
      {"\xd0\x9c\xd0\xb8\xd0\xba \xe9\xba\xa6", "\"\xd0\x9c\xd0\xb8\xd0\xba \xe9\xba\xa6\""},
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    std::string out;
    append_string(out, c.in);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

TEST(Status, NumberLayout) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {48000, "48000.0"},
      {1e15, "1000000000000000.0"},
      {1.5, "1.5"},
      {123.456, "123.456"},
      {0.5, "0.5"},
      {0.0123, "0.0123"},
      {1e-5, "0.00001"},
      {0.000030517578125, "0.000030517578125"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {1e16, "1e+16"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {1.348699152348609e-6, "1.348699152348609e-6"},
      {0.999969482421875, "0.999969482421875"},
      {-2.5, "-2.5"},
      {std::nan(""), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
      {123456789012345.6, "123456789012345.6"},
      {9007199254740993.0, "9007199254740992.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(number(c.value), c.text) << c.text;
  // The level of one LSB spread over 512 samples.
  EXPECT_EQ(number(std::ldexp(1.0, -15) / std::sqrt(512.0)), "1.348699152348609e-6");
}

// Collects what an platform::Output receives.
class RecordingOutput : public platform::Output {
 public:
  bool write_all(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return succeed;
  }
  std::vector<std::string> writes;
  bool succeed = true;
};

TEST(Status, WriteRecordWritesOneWholeLineAndSwallowsFailure) {
  RecordingOutput out;
  write_record(out, ReadyRecord{8000, 3});
  out.succeed = false;
  write_record(out, ErrorRecord{code::driver_open_failed, "x"});  // must not throw or report
  ASSERT_EQ(out.writes.size(), 2u);
  EXPECT_EQ(out.writes[0], "{\"type\":\"ready\",\"sampleRate\":8000.0,\"channels\":3}\n");
  EXPECT_EQ(out.writes[1].back(), '\n');
}

}  // namespace
}  // namespace kestravo::protocol
