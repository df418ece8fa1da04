// The capture endpoints as the listing and a capture see them: read once,
// into plain values, on a thread of the caller's choosing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
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

struct Endpoint {
  std::wstring id;      // IMMDevice::GetId: stable while the endpoint exists
  std::string id_utf8;  // the same, as the device's other name
  // PKEY_Device_FriendlyName, or the failure reading it.
  std::optional<std::string> friendly_name;
  HRESULT name_error = S_OK;
  std::optional<MixFormat> mix;
  HRESULT mix_error = S_OK;
  std::string listed_name;  // set by read_endpoints
};

// The active capture endpoints in the order Windows enumerates them, each
// with its listed name: the friendly name, or for a friendly name several
// endpoints share "friendly name (endpoint id)", so that the names neither
// collide nor depend on which device was plugged in first. Initialises COM
// for the calling thread. Empty when COM or the enumerator fails.
std::vector<Endpoint> read_endpoints();

// Gives each endpoint its listed name (see read_endpoints).
void name_endpoints(std::vector<Endpoint>& endpoints);

}  // namespace kestravo::audio::wasapi
