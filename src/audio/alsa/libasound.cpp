#include "audio/alsa/libasound.h"

#include <dlfcn.h>

#include <memory>

namespace kestravo::audio::alsa {

namespace {

const Libasound* load() {
  // Never closed: a capture thread may use it until the process exits.
  // Lazy, as with libpulse: what alsa-lib's plugins need is bound when they
  // are called, if ever.
  void* handle = ::dlopen("libasound.so.2", RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  auto api = std::make_unique<Libasound>();
  bool complete = true;
  // NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name
#define KESTRAVO_LIBASOUND_RESOLVE(name)                                   \
  api->name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  complete = complete && api->name != nullptr;
  KESTRAVO_LIBASOUND_FUNCTIONS(KESTRAVO_LIBASOUND_RESOLVE)
#undef KESTRAVO_LIBASOUND_RESOLVE
  // NOLINTEND(bugprone-macro-parentheses)
  if (!complete) return nullptr;
  return api.release();  // for the life of the process, like the library
}

}  // namespace

const Libasound* libasound() {
  static const Libasound* const api = load();
  return api;
}

}  // namespace kestravo::audio::alsa
