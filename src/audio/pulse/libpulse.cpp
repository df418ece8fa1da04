#include "audio/pulse/libpulse.h"

#include <dlfcn.h>

namespace kestravo::audio::pulse {

namespace {

const Libpulse* load() {
  // Never closed: unloading a library whose threads may still run is unsafe.
  void* handle = ::dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  auto* api = new Libpulse;
  bool complete = true;
#define KESTRAVO_LIBPULSE_RESOLVE(name)                                    \
  api->name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  complete = complete && api->name != nullptr;
  KESTRAVO_LIBPULSE_FUNCTIONS(KESTRAVO_LIBPULSE_RESOLVE)
#undef KESTRAVO_LIBPULSE_RESOLVE
  if (!complete) {
    delete api;
    return nullptr;
  }
  return api;
}

}  // namespace

const Libpulse* libpulse() {
  static const Libpulse* const api = load();
  return api;
}

}  // namespace kestravo::audio::pulse
