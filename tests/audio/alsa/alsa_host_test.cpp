// The ALSA host through the Host interface, on a hermetic configuration.
#include "audio/alsa/alsa_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "audio/alsa/configs.h"
#include "audio/alsa/pcm.h"
#include "audio/audio.h"
#include "audio/channel_positions.h"
#include "hermetic_alsa.h"

namespace kestravo::audio {
namespace {

using testing::HermeticAlsa;

class AlsaHostTest : public ::testing::Test {
 protected:
  AlsaHostTest() { setenv("ALSA_CONFIG_PATH", alsa_.config.c_str(), 1); }

  std::unique_ptr<Device> device(std::string_view name) {
    auto devices = host_->devices();
    EXPECT_TRUE(devices.has_value());
    for (auto& device : *devices) {
      if (device->name().value_or("") == name) return std::move(device);
    }
    ADD_FAILURE() << "no device " << name;
    return nullptr;
  }

  HermeticAlsa alsa_;
  // Far more than any query here takes, even on a loaded machine.
  std::unique_ptr<Host> host_ = alsa::make_alsa_host(Deadline::after(std::chrono::seconds(30)));
};

std::vector<std::string> names(const std::vector<std::unique_ptr<Device>>& devices) {
  std::vector<std::string> list;
  for (const auto& device : devices) list.push_back(device->name().value_or("?"));
  return list;
}

TEST_F(AlsaHostTest, DevicesAreTheHintsAndInputDevicesThoseThatOpenForCapture) {
  auto all = host_->devices();
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(names(*all), (std::vector<std::string>{"capfile", "mapped", "smallmaps", "broken",
                                                   "speaker", "ghost"}));
  auto inputs = input_devices(*host_);
  ASSERT_TRUE(inputs.has_value());
  EXPECT_EQ(names(*inputs), (std::vector<std::string>{"capfile", "mapped", "smallmaps"}));
}

TEST_F(AlsaHostTest, LookupByNameWalksEveryHintAndComparesBytes) {
  const struct {
    std::string name;
    bool found;
  } cases[] = {
      {"capfile", true},  {"speaker", true},   {"ghost", true}, {"broken", true},
      {"Capfile", false}, {"capfile ", false}, {"", false},     {"null", false},
  };
  for (const auto& c : cases) {
    auto id = host_->get_device_id_from_name(c.name);
    EXPECT_EQ(id.has_value(), c.found) << c.name;
    if (id) {
      // The identifier reopens the same PCM.
      EXPECT_EQ(id->token, c.name);
    }
  }
}

TEST_F(AlsaHostTest, PluginRangesAreCappedAndOrderedByFormatThenChannels) {
  auto capfile = device("capfile");
  ASSERT_TRUE(capfile);
  auto ranges = capfile->supported_input_configs();
  ASSERT_TRUE(ranges.has_value());
  ASSERT_EQ(ranges->size(), std::size(alsa::kReportedFormats) * 32);
  for (std::size_t i = 0; i < ranges->size(); ++i) {
    const auto& r = (*ranges)[i];
    EXPECT_EQ(r.sample_format, alsa::kReportedFormats[i / 32]) << i;
    EXPECT_EQ(r.channels, i % 32 + 1) << i;
    EXPECT_EQ(r.min_sample_rate, 1u) << i;
    EXPECT_EQ(r.max_sample_rate, 384000u) << i;
  }
  EXPECT_EQ(capfile->default_input_config(),
            (SupportedStreamConfig{32, 48000, SupportedBufferSize{}, SampleFormat::I16}));
}

TEST_F(AlsaHostTest, DevicesThatCannotCaptureReportWhy) {
  const auto gone = SupportedStreamConfigsError::of(ErrorKind::DeviceNotAvailable);
  EXPECT_EQ(device("broken")->supported_input_configs(), std::unexpected(gone));
  EXPECT_EQ(device("ghost")->supported_input_configs(), std::unexpected(gone));
  // A playback-only hint is not even opened for capture.
  EXPECT_EQ(device("speaker")->supported_input_configs(),
            std::vector<SupportedStreamConfigRange>{});
  EXPECT_FALSE(device("broken")->default_input_config().has_value());
}

TEST_F(AlsaHostTest, ChannelNamesComeFromTheMapOfTheDeviceChannelCount) {
  auto mapped = host_->get_device_id_from_name("mapped");
  ASSERT_TRUE(mapped.has_value());
  const struct {
    std::uint32_t element;
    std::optional<std::string> name;
  } cases[] = {
      {0, std::nullopt},   {1, "Front Left"},  // phase-inverted position: the flag is masked off
      {2, "Front Right"},                      // driver-specific position: likewise
      {3, "Front Center"}, {4, "LFE"},          {28, "Unused"},
      {29, "Unknown"},     {32, "Front Right"}, {33, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host_->channel_name(*mapped, c.element), c.name) << c.element;
  }
  // No map for the 32 channels the device has, or no map at all: no names.
  for (const char* name : {"smallmaps", "capfile", "broken", "speaker"}) {
    auto id = host_->get_device_id_from_name(name);
    ASSERT_TRUE(id.has_value()) << name;
    for (std::uint32_t element : {1u, 2u, 32u}) {
      EXPECT_EQ(host_->channel_name(*id, element), std::nullopt) << name << " " << element;
    }
  }
}

// Collects what a stream delivers, from the callback thread. Owned by its
// callbacks as well: a stream's thread may outlive the release of the stream.
template <class Sample>
struct Collector : std::enable_shared_from_this<Collector<Sample>> {
  std::mutex mutex;
  std::condition_variable changed;
  std::string bytes;
  std::vector<StreamError> errors;

  DataCallback<Sample> data() {
    return [self = this->shared_from_this()](std::span<const Sample> samples,
                                             const InputCallbackInfo&) {
      std::lock_guard lock(self->mutex);
      self->bytes.append(reinterpret_cast<const char*>(samples.data()), samples.size_bytes());
      self->changed.notify_all();
    };
  }
  ErrorCallback error() {
    return [self = this->shared_from_this()](const StreamError& e) {
      std::lock_guard lock(self->mutex);
      self->errors.push_back(e);
      self->changed.notify_all();
    };
  }
  bool wait_for_bytes(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return bytes.size() >= n; });
  }
};

template <class Sample>
void expect_capture_is_the_infile(Device& device, std::uint16_t channels, std::uint32_t rate,
                                  const std::string& infile) {
  // Less than the infile: past its end the file plugin repeats the last chunk.
  const std::size_t wanted = 64 * 1024;
  auto collector = std::make_shared<Collector<Sample>>();
  auto stream = device.build_input_stream(StreamConfig{channels, rate, std::nullopt},
                                          collector->data(), collector->error());
  ASSERT_TRUE(stream.has_value()) << stream.error().text();
  EXPECT_TRUE((*stream)->play().has_value());
  ASSERT_TRUE(collector->wait_for_bytes(wanted));
  stream->reset();
  std::lock_guard lock(collector->mutex);
  EXPECT_EQ(collector->bytes.size() % (channels * sizeof(Sample)), 0u);
  EXPECT_TRUE(collector->bytes.compare(0, wanted, infile, 0, wanted) == 0)
      << "channels " << channels << " rate " << rate << " sample size " << sizeof(Sample);
  EXPECT_TRUE(collector->errors.empty());
}

TEST_F(AlsaHostTest, CaptureDeliversTheInfileFramesInEveryElementType) {
  auto capfile = device("capfile");
  ASSERT_TRUE(capfile);
  expect_capture_is_the_infile<std::int16_t>(*capfile, 2, 48000, alsa_.infile_bytes);
  expect_capture_is_the_infile<std::int16_t>(*capfile, 32, 44100, alsa_.infile_bytes);
  expect_capture_is_the_infile<float>(*capfile, 3, 96000, alsa_.infile_bytes);
  expect_capture_is_the_infile<std::uint16_t>(*capfile, 1, 8000, alsa_.infile_bytes);
}

TEST_F(AlsaHostTest, BuildErrorsNameTheirCase) {
  const struct {
    const char* device;
    StreamConfig config;
    BuildStreamError error;
  } cases[] = {
      {"broken", {2, 48000, {}}, BuildStreamError::of(ErrorKind::DeviceNotAvailable)},
      {"ghost", {2, 48000, {}}, BuildStreamError::of(ErrorKind::DeviceNotAvailable)},
      {"capfile", {0, 48000, {}}, BuildStreamError::of(ErrorKind::StreamConfigNotSupported)},
      {"capfile", {2, 0, {}}, BuildStreamError::of(ErrorKind::StreamConfigNotSupported)},
  };
  for (const auto& c : cases) {
    auto collector = std::make_shared<Collector<std::int16_t>>();
    auto stream =
        device(c.device)->build_input_stream(c.config, collector->data(), collector->error());
    ASSERT_FALSE(stream.has_value()) << c.device;
    EXPECT_EQ(stream.error(), c.error) << c.device << ": " << stream.error().text();
  }
}

TEST_F(AlsaHostTest, AlsaDiagnosticsNeverReachStandardError) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/stderr";
  const int saved = dup(2);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, 2);
  // Each of these makes alsa-lib complain ("Unknown PCM", "open ... failed").
  for (const char* name : {"broken", "ghost"}) {
    (void)device(name)->supported_input_configs();
    auto id = host_->get_device_id_from_name(name);
    if (id) (void)host_->channel_name(*id, 1);
  }
  (void)alsa::open_capture("no-such-pcm");
  dup2(saved, 2);
  close(saved);
  close(file);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "");
}

TEST(AlsaErrnoTest, EachErrnoBecomesOneCase) {
  using alsa::error_from_errno;
  EXPECT_EQ(error_from_errno<BuildStreamError>(-ENODEV).kind, ErrorKind::DeviceNotAvailable);
  EXPECT_EQ(error_from_errno<BuildStreamError>(ENOENT).kind, ErrorKind::DeviceNotAvailable);
  EXPECT_EQ(error_from_errno<BuildStreamError>(-EINVAL).kind, ErrorKind::StreamConfigNotSupported);
  EXPECT_EQ(error_from_errno<SupportedStreamConfigsError>(-EINVAL).kind,
            ErrorKind::InvalidArgument);
  EXPECT_EQ(error_from_errno<BuildStreamError>(-EBUSY),
            BuildStreamError::backend("Device or resource busy"));
  // Types without the case get the backend-specific one with ALSA's words.
  EXPECT_EQ(error_from_errno<DefaultStreamConfigError>(-EINVAL),
            DefaultStreamConfigError::backend("Invalid argument"));
  EXPECT_EQ(error_from_errno<DevicesError>(-ENODEV), DevicesError::backend("No such device"));
  EXPECT_EQ(error_from_errno<StreamError>(-ENODEV).kind, ErrorKind::DeviceNotAvailable);
  EXPECT_EQ(error_from_errno<StreamError>(-EIO), StreamError::backend("Input/output error"));
}

// A device as a table: per format, channel bounds; per channel count, rate
// bounds and either every rate in them or only the listed ones.
class FakeSpace final : public alsa::ParamSpace {
 public:
  struct Rates {
    unsigned lo, hi;
    std::vector<unsigned> only;  // empty: every rate in [lo, hi]
  };
  std::vector<SampleFormat> formats;
  unsigned channels_lo = 1, channels_hi = 2;
  Rates rates_of{44100, 48000, {}};

  bool accepts_format(SampleFormat f) const override {
    return std::ranges::find(formats, f) != formats.end();
  }
  std::optional<std::pair<unsigned, unsigned>> channels(SampleFormat) const override {
    return std::pair{channels_lo, channels_hi};
  }
  std::optional<std::pair<unsigned, unsigned>> rates(SampleFormat, unsigned) const override {
    return std::pair{rates_of.lo, rates_of.hi};
  }
  bool accepts_rate(SampleFormat, unsigned, unsigned rate) const override {
    if (rate < rates_of.lo || rate > rates_of.hi) return false;
    return rates_of.only.empty() || std::ranges::find(rates_of.only, rate) != rates_of.only.end();
  }
};

SupportedStreamConfigRange range(std::uint16_t channels, std::uint32_t lo, std::uint32_t hi,
                                 SampleFormat format) {
  return {channels, lo, hi, SupportedBufferSize{}, format};
}

TEST(AlsaRangesTest, RangesClaimOnlyRatesThatOpen) {
  using F = SampleFormat;
  const struct {
    const char* what;
    FakeSpace space;
    std::vector<SupportedStreamConfigRange> ranges;
  } cases[] = {
      {"continuous rates, decodable formats first",
       [] {
         FakeSpace s;
         s.formats = {F::I32, F::F32, F::I16};
         return s;
       }(),
       {range(1, 44100, 48000, F::I16), range(2, 44100, 48000, F::I16),
        range(1, 44100, 48000, F::F32), range(2, 44100, 48000, F::F32),
        range(1, 44100, 48000, F::I32), range(2, 44100, 48000, F::I32)}},
      {"a card with a list of rates gets one point range per standard rate",
       [] {
         FakeSpace s;
         s.formats = {F::I16};
         s.channels_lo = s.channels_hi = 2;
         s.rates_of = {8000, 96000, {8000, 44100, 48000, 96000}};
         return s;
       }(),
       {range(2, 8000, 8000, F::I16), range(2, 44100, 44100, F::I16),
        range(2, 48000, 48000, F::I16), range(2, 96000, 96000, F::I16)}},
      {"one fixed rate, standard or not",
       [] {
         FakeSpace s;
         s.formats = {F::U16};
         s.channels_lo = s.channels_hi = 1;
         s.rates_of = {44000, 44000, {}};
         return s;
       }(),
       {range(1, 44000, 44000, F::U16)}},
      {"rate and channel caps; I64, U64 and no-channel counts never reported",
       [] {
         FakeSpace s;
         s.formats = {F::I64, F::U64, F::F64};
         s.channels_lo = 0;
         s.channels_hi = 1u << 30;
         s.rates_of = {4000, 4294967295u, {}};
         return s;
       }(),
       [] {
         std::vector<SupportedStreamConfigRange> r;
         for (std::uint16_t c = 1; c <= 32; ++c) r.push_back(range(c, 4000, 384000, F::F64));
         return r;
       }()},
      {"rates only above the cap",
       [] {
         FakeSpace s;
         s.formats = {F::I16};
         s.rates_of = {705600, 768000, {}};
         return s;
       }(),
       {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(alsa::build_ranges(c.space), c.ranges) << c.what;
  }
}

TEST(AlsaRangesTest, DefaultConfigurationPrefersWidest48kDecodable) {
  using F = SampleFormat;
  const struct {
    const char* what;
    std::vector<SupportedStreamConfigRange> ranges;
    std::optional<SupportedStreamConfig> config;
  } cases[] = {
      {"no ranges", {}, std::nullopt},
      {"48000 inside a range",
       {range(2, 8000, 192000, F::I16), range(4, 8000, 192000, F::I16)},
       SupportedStreamConfig{4, 48000, {}, F::I16}},
      {"44100 when 48000 is not offered",
       {range(2, 44100, 44100, F::F32), range(2, 96000, 96000, F::F32)},
       SupportedStreamConfig{2, 44100, {}, F::F32}},
      {"else the highest maximum",
       {range(1, 8000, 8000, F::I16), range(1, 16000, 16000, F::I16)},
       SupportedStreamConfig{1, 16000, {}, F::I16}},
      {"the first decodable format at the widest count",
       {range(2, 48000, 48000, F::I32), range(2, 44100, 44100, F::U16),
        range(1, 48000, 48000, F::I16)},
       SupportedStreamConfig{2, 44100, {}, F::U16}},
      {"nothing decodable: the first format, refused later by capture",
       {range(2, 48000, 48000, F::I32)},
       SupportedStreamConfig{2, 48000, {}, F::I32}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(alsa::pick_default_config(c.ranges), c.config) << c.what;
  }
}

// The table every host shares must name ALSA's positions as alsa-lib does:
// the ALSA listing's bytes depend on it.
TEST(ChannelPositions, AlsaPositionsHaveAlsaLongNames) {
  for (unsigned value = 0; value <= SND_CHMAP_LAST; ++value) {
    const auto position = channel_position_from_alsa(value);
    ASSERT_TRUE(position) << value;
    EXPECT_EQ(channel_position_name(*position),
              snd_pcm_chmap_long_name(static_cast<snd_pcm_chmap_position>(value)))
        << value;
  }
  EXPECT_FALSE(channel_position_from_alsa(SND_CHMAP_LAST + 1));
}

}  // namespace
}  // namespace kestravo::audio
