#include "audio/pipewire/libpipewire.h"

#include <dlfcn.h>

#include <memory>

namespace kestravo::audio::pipewire {

namespace {

const Libpipewire* load() {
  // Never closed: its loop threads may outlive any one user.
  void* handle = ::dlopen("libpipewire-0.3.so.0", RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  auto api = std::make_unique<Libpipewire>();
  bool complete = true;
  // NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name
#define KESTRAVO_LIBPIPEWIRE_RESOLVE(name)                                 \
  api->name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  complete = complete && api->name != nullptr;
  KESTRAVO_LIBPIPEWIRE_FUNCTIONS(KESTRAVO_LIBPIPEWIRE_RESOLVE)
#undef KESTRAVO_LIBPIPEWIRE_RESOLVE
  // NOLINTEND(bugprone-macro-parentheses)
  if (!complete) return nullptr;
  api->pw_init(nullptr, nullptr);
  return api.release();  // for the life of the process, like the library
}

}  // namespace

const Libpipewire* libpipewire() {
  static const Libpipewire* const api = load();
  return api;
}

}  // namespace kestravo::audio::pipewire
