#include "audio/pulse/libpulse.h"

#include <dlfcn.h>

#include <memory>

namespace kestravo::audio::pulse {

namespace {

const Libpulse* load() {
  // Never closed: unloading a library whose threads may still run is unsafe.
  // Lazy: libpulse and its own helpers bind everything at load anyway, and
  // what else they pull in (the sound-file codecs, say) is never called by
  // a capture; binding it all up front cost a fifth of the start-up's
  // instructions.
  void* handle = ::dlopen("libpulse.so.0", RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  auto api = std::make_unique<Libpulse>();
  bool complete = true;
  // NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name
#define KESTRAVO_LIBPULSE_RESOLVE(name)                                    \
  api->name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  complete = complete && api->name != nullptr;
  KESTRAVO_LIBPULSE_FUNCTIONS(KESTRAVO_LIBPULSE_RESOLVE)
#undef KESTRAVO_LIBPULSE_RESOLVE
  // NOLINTEND(bugprone-macro-parentheses)
  if (!complete) return nullptr;
  return api.release();  // for the life of the process, like the library
}

}  // namespace

const Libpulse* libpulse() {
  static const Libpulse* const api = load();
  return api;
}

}  // namespace kestravo::audio::pulse
