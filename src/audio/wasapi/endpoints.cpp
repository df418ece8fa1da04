// clang-format off
#include <initguid.h>
// clang-format on
#include "audio/wasapi/endpoints.h"

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstring>
#include <string_view>

#include "audio/device_names.h"
#include "audio/wasapi/com.h"
#include "audio/wasapi/hresult.h"
#include "text/utf16.h"

namespace kestravo::audio::wasapi {

namespace {

std::string utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const std::wstring_view view(text);
  return text::utf8_from_utf16(std::u16string(view.begin(), view.end()));
}

class PropVariant {
 public:
  PropVariant() { PropVariantInit(&value_); }
  ~PropVariant() { PropVariantClear(&value_); }
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
  PROPVARIANT* get() { return &value_; }
  const PROPVARIANT& value() const { return value_; }

 private:
  PROPVARIANT value_;
};

void read_name(IMMDevice& device, Endpoint& endpoint) {
  ComPtr<IPropertyStore> store;
  HRESULT result = device.OpenPropertyStore(STGM_READ, store.put());
  PropVariant name;
  if (SUCCEEDED(result)) result = store->GetValue(PKEY_Device_FriendlyName, name.get());
  if (FAILED(result)) {
    endpoint.name_error = result;
  } else if (name.value().vt != VT_LPWSTR) {
    endpoint.name_error = E_UNEXPECTED;
  } else {
    endpoint.friendly_name = utf8(name.value().pwszVal);
  }
}

void read_mix_format(IMMDevice& device, Endpoint& endpoint) {
  ComPtr<IAudioClient> client;
  HRESULT result = device.Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, client.put_void());
  CoTaskMem<WAVEFORMATEX> format;
  if (SUCCEEDED(result)) result = client->GetMixFormat(format.put());
  if (FAILED(result)) {
    endpoint.mix_error = result;
    return;
  }
  const WAVEFORMATEX& f = *format.get();
  MixFormat mix{.channels = f.nChannels, .rate = f.nSamplesPerSec, .format = {}, .channel_mask = 0};
  GUID subtype = GUID_NULL;
  if (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.cbSize >= 22) {
    WAVEFORMATEXTENSIBLE extensible;
    std::memcpy(&extensible, format.get(), sizeof extensible);
    subtype = extensible.SubFormat;
    mix.channel_mask = extensible.dwChannelMask;
  } else if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
    subtype = kSubtypeFloat;
  } else if (f.wFormatTag == WAVE_FORMAT_PCM) {
    subtype = kSubtypePcm;
  }
  if (IsEqualGUID(subtype, kSubtypeFloat) && f.wBitsPerSample == 32) {
    mix.format = SampleFormat::F32;
  } else if (IsEqualGUID(subtype, kSubtypePcm) && f.wBitsPerSample == 16) {
    mix.format = SampleFormat::I16;
  }
  endpoint.mix = mix;
}

}  // namespace

namespace {

// The active endpoints of one direction, in the order Windows gives them.
void read_flow(IMMDeviceEnumerator& enumerator, EDataFlow flow, std::vector<Endpoint>& endpoints) {
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (FAILED(enumerator.EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, collection.put())) ||
      FAILED(collection->GetCount(&count))) {
    return;
  }
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> id;
    // An endpoint that left while we looked is simply not listed.
    if (FAILED(collection->Item(i, device.put())) || FAILED(device->GetId(id.put()))) continue;
    Endpoint endpoint;
    endpoint.id = id.get();
    endpoint.id_utf8 = utf8(id.get());
    endpoint.loopback = flow == eRender;
    read_name(*device.get(), endpoint);
    read_mix_format(*device.get(), endpoint);
    endpoints.push_back(std::move(endpoint));
  }
}

// The following device of `flow`, while the system has a default there.
std::optional<Endpoint> follower(IMMDeviceEnumerator& enumerator, EDataFlow flow) {
  ComPtr<IMMDevice> device;
  if (FAILED(enumerator.GetDefaultAudioEndpoint(flow, eConsole, device.put()))) return std::nullopt;
  Endpoint endpoint;
  const bool input = flow == eCapture;
  endpoint.id_utf8 = input ? kDefaultInputKey : kDefaultOutputKey;
  endpoint.id = std::wstring(endpoint.id_utf8.begin(), endpoint.id_utf8.end());
  endpoint.loopback = !input;
  endpoint.follow = input ? Follow::DefaultInput : Follow::DefaultOutput;
  endpoint.friendly_name = input ? "Default Input" : "Default Output";
  endpoint.mix = kFollowMix;
  return endpoint;
}

}  // namespace

std::vector<Endpoint> read_endpoints() {
  std::vector<Endpoint> endpoints;
  const ComThread com;
  if (!com.ok()) return endpoints;
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              IID_IMMDeviceEnumerator, enumerator.put_void()))) {
    return endpoints;
  }
  for (const EDataFlow flow : {eCapture, eRender}) {
    if (auto endpoint = follower(*enumerator.get(), flow))
      endpoints.push_back(std::move(*endpoint));
    read_flow(*enumerator.get(), flow, endpoints);
  }
  name_endpoints(endpoints);
  return endpoints;
}

std::string failure_text(const Endpoint& endpoint, HRESULT result) {
  if (result == E_ACCESSDENIED && !endpoint.loopback) {
    return "access to the microphone is denied by Windows privacy settings (" +
           hresult_text(result) + ")";
  }
  return hresult_text(result);
}

Offered offered(const Endpoint& endpoint) {
  std::optional<std::string> plain;
  if (endpoint.follow == Follow::DefaultInput) {
    plain = kDefaultInputName;
  } else if (endpoint.follow == Follow::DefaultOutput) {
    plain = kDefaultOutputName;
  } else if (endpoint.friendly_name) {
    plain = (endpoint.loopback ? "Monitor of " : "") + *endpoint.friendly_name;
  }
  return {.key = endpoint.id_utf8,
          .plain = std::move(plain),
          .group = endpoint.loopback ? Group::Output : Group::Input,
          .follow = endpoint.follow,
          .is_default = false};
}

void name_endpoints(std::vector<Endpoint>& endpoints) {
  std::vector<Offered> devices;
  for (const auto& e : endpoints) devices.push_back(offered(e));
  std::vector<Endpoint> named;
  for (auto& listed : list_offered(devices)) {
    named.push_back(std::move(endpoints[listed.offered]));
    named.back().listed_name = std::move(listed.name);
  }
  endpoints = std::move(named);
}

}  // namespace kestravo::audio::wasapi
