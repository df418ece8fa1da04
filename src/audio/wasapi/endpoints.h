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
#include "audio/device_names.h"

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

// Gives each endpoint its listed name, by the rules every host names
// devices by, in the order Windows enumerates them.
void name_endpoints(std::vector<Endpoint>& endpoints);

// What the error texts say of `result`, a failure to activate or open
// `endpoint`: where Windows' privacy settings deny access to the
// microphones (E_ACCESSDENIED for a capture endpoint), that in plain words.
std::string failure_text(const Endpoint& endpoint, HRESULT result);

// The endpoint as the naming rules see it: "Monitor of" its friendly name
// for a loopback.
Offered offered(const Endpoint& endpoint);

}  // namespace kestravo::audio::wasapi
