// clang-format off
#include <initguid.h>
// clang-format on
#include "audio/wasapi/endpoints.h"

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <mmreg.h>

#include <cstring>
#include <map>
#include <string_view>

#include "audio/wasapi/com.h"
#include "text/utf16.h"

namespace kestravo::audio::wasapi {

namespace {

std::string utf8(const wchar_t* text) {
  if (text == nullptr) return {};
  const std::wstring_view view(text);
  return utf8_from_utf16(std::u16string(view.begin(), view.end()));
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

std::vector<Endpoint> read_endpoints() {
  std::vector<Endpoint> endpoints;
  const ComThread com;
  if (!com.ok()) return endpoints;
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              IID_IMMDeviceEnumerator, enumerator.put_void()))) {
    return endpoints;
  }
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, collection.put())) ||
      FAILED(collection->GetCount(&count))) {
    return endpoints;
  }
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> id;
    // An endpoint that left while we looked is simply not listed.
    if (FAILED(collection->Item(i, device.put())) || FAILED(device->GetId(id.put()))) continue;
    Endpoint endpoint;
    endpoint.id = id.get();
    endpoint.id_utf8 = utf8(id.get());
    read_name(*device.get(), endpoint);
    read_mix_format(*device.get(), endpoint);
    endpoints.push_back(std::move(endpoint));
  }
  name_endpoints(endpoints);
  return endpoints;
}

void name_endpoints(std::vector<Endpoint>& endpoints) {
  std::map<std::string, int, std::less<>> uses;
  for (const auto& e : endpoints) {
    if (e.friendly_name) ++uses[*e.friendly_name];
  }
  for (auto& e : endpoints) {
    if (!e.friendly_name) continue;
    e.listed_name = *e.friendly_name;
    if (uses[*e.friendly_name] > 1) e.listed_name += " (" + e.id_utf8 + ")";
  }
}

}  // namespace kestravo::audio::wasapi
