// libpipewire, loaded when the program runs rather than linked: a machine
// without it lists and captures as before. Only its headers are used at
// build time; the exported functions come through dlsym. The core, registry,
// node and loop calls and the pod builder are static inline in the headers
// and call through the objects' method tables, so they need no symbol.
#pragma once

#include <pipewire/pipewire.h>

namespace kestravo::audio::pipewire {

// The exports of libpipewire 0.3.65 the host uses.
#define KESTRAVO_LIBPIPEWIRE_FUNCTIONS(X) \
  X(pw_init)                              \
  X(pw_thread_loop_new)                   \
  X(pw_thread_loop_destroy)               \
  X(pw_thread_loop_start)                 \
  X(pw_thread_loop_stop)                  \
  X(pw_thread_loop_lock)                  \
  X(pw_thread_loop_unlock)                \
  X(pw_thread_loop_get_loop)              \
  X(pw_context_new)                       \
  X(pw_context_destroy)                   \
  X(pw_context_connect)                   \
  X(pw_core_disconnect)                   \
  X(pw_properties_new)                    \
  X(pw_stream_new)                        \
  X(pw_stream_destroy)                    \
  X(pw_stream_connect)                    \
  X(pw_stream_add_listener)               \
  X(pw_stream_dequeue_buffer)             \
  X(pw_stream_queue_buffer)               \
  X(pw_stream_get_node_id)                \
  X(pw_proxy_destroy)

// NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name, not a value
struct Libpipewire {
#define KESTRAVO_LIBPIPEWIRE_MEMBER(name) decltype(&::name) name = nullptr;
  KESTRAVO_LIBPIPEWIRE_FUNCTIONS(KESTRAVO_LIBPIPEWIRE_MEMBER)
#undef KESTRAVO_LIBPIPEWIRE_MEMBER
};
// NOLINTEND(bugprone-macro-parentheses)

// libpipewire-0.3.so.0 with every function resolved and pw_init called,
// loaded on the first call and kept for the life of the process; none when
// it cannot be loaded or lacks a function.
const Libpipewire* libpipewire();

}  // namespace kestravo::audio::pipewire
