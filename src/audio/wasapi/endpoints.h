// The endpoints as the listing and a capture see them: read once, into plain
// values, on a thread of the caller's choosing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio.h"

namespace kestravo::audio::wasapi {

// The sample types of WAVEFORMATEXTENSIBLE's SubFormat
// (KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT, which mingw-w64 declares but
// does not define).
inline constexpr GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID kSubtypeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The shared-mode mix format: what the audio engine runs the endpoint at.
struct MixFormat {
  std::uint16_t channels = 0;
  std::uint32_t rate = 0;
  // F32 for a float mix format, I16 for 16-bit PCM; none for anything else,
  // which no stream is opened in.
  std::optional<SampleFormat> format;
  // The speakers of the channels (SPEAKER_FRONT_LEFT ...), lowest bit first;
  // 0 where the format names none.
  std::uint32_t channel_mask = 0;
};

// What a device that stands for "whatever the system uses now" follows: the
// default endpoint of its direction for the console role, the one the
// Sound settings call the default device.
enum class Follow : std::uint8_t {
  None,
  DefaultInput,   // the default capture endpoint
  DefaultOutput,  // the loopback of the default render endpoint
};

// The following devices' keys: their names as device ids and, as on Linux,
// other names they answer to.
inline constexpr std::string_view kDefaultInputKey = "@DEFAULT_SOURCE@";
inline constexpr std::string_view kDefaultOutputKey = "@DEFAULT_MONITOR@";

// The following devices have one layout whatever endpoint they follow: a
// capture cannot change its frames midway. The engine converts each
// endpoint into it.
inline constexpr MixFormat kFollowMix{
    .channels = 2, .rate = 48000, .format = SampleFormat::F32, .channel_mask = 0x3};

struct Endpoint {
  std::wstring id;      // IMMDevice::GetId: stable while the endpoint exists
  std::string id_utf8;  // the same, as the device's other name; the key of
                        // a following device
  // A render endpoint, captured as what it plays (loopback).
  bool loopback = false;
  Follow follow = Follow::None;
  // PKEY_Device_FriendlyName, or the failure reading it.
  std::optional<std::string> friendly_name;
  HRESULT name_error = S_OK;
  std::optional<MixFormat> mix;
  HRESULT mix_error = S_OK;
  std::string listed_name;  // set by name_endpoints
};

// In listing order: "Default Input" (while there is a default capture
// endpoint), the active capture endpoints in the order Windows enumerates
// them, "Monitor of Default Output" (while there is a default render
// endpoint), then "Monitor of {friendly name}" for each active render
// endpoint; each with its listed name. Initialises COM for the calling
// thread. Empty when COM or the enumerator fails.
std::vector<Endpoint> read_endpoints();

// Gives each endpoint its listed name: its friendly name ("Monitor of" it
// for a loopback), or where several endpoints share one, that and
// " (endpoint id)", as on Linux, so that the names neither collide nor
// depend on which device was plugged in first.
void name_endpoints(std::vector<Endpoint>& endpoints);

// What the error texts say of `result`, a failure to activate or open
// `endpoint`: where Windows' privacy settings deny access to the
// microphones (E_ACCESSDENIED for a capture endpoint), that in plain words.
std::string failure_text(const Endpoint& endpoint, HRESULT result);

// The name the listing shows before twins are told apart.
std::string plain_name(const Endpoint& endpoint);

// The other names an endpoint answers to when no device is listed under the
// name asked for: its id, its plain name (the first of twins in listing
// order), and "plain name (id)", as a listing with a twin shows it; for the
// following devices their keys, and "default" for the default input.
std::vector<std::string> other_names(const Endpoint& endpoint);

}  // namespace kestravo::audio::wasapi
