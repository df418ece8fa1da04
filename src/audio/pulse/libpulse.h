// libpulse, loaded when the program runs rather than linked: a machine
// without it still lists and captures through ALSA. Only its headers are
// used at build time, for the types; every function comes through dlsym.
#pragma once

#include <pulse/pulseaudio.h>

namespace kestravo::audio::pulse {

// What keeps a stream on the desktop's default devices (follow.h).
#define KESTRAVO_LIBPULSE_FOLLOWING(X)     \
  X(pa_context_subscribe)                  \
  X(pa_context_set_subscribe_callback)     \
  X(pa_context_get_sink_info_by_name)      \
  X(pa_context_move_source_output_by_name) \
  X(pa_operation_cancel)                   \
  X(pa_stream_get_index)                   \
  X(pa_stream_get_device_name)             \
  X(pa_stream_get_device_index)            \
  X(pa_stream_cork)                        \
  X(pa_stream_flush)                       \
  X(pa_stream_set_moved_callback)

// What finds each application's streams and records them alone
// (application_stream.h).
#define KESTRAVO_LIBPULSE_APPLICATIONS(X) \
  X(pa_context_get_sink_input_info_list)  \
  X(pa_context_get_sink_info_list)        \
  X(pa_proplist_gets)                     \
  X(pa_stream_set_monitor_stream)

#define KESTRAVO_LIBPULSE_FUNCTIONS(X) \
  X(pa_mainloop_new)                   \
  X(pa_mainloop_free)                  \
  X(pa_mainloop_get_api)               \
  X(pa_mainloop_set_poll_func)         \
  X(pa_mainloop_iterate)               \
  X(pa_mainloop_quit)                  \
  X(pa_context_new)                    \
  X(pa_context_unref)                  \
  X(pa_context_connect)                \
  X(pa_context_disconnect)             \
  X(pa_context_errno)                  \
  X(pa_context_set_state_callback)     \
  X(pa_context_get_state)              \
  X(pa_context_get_server_info)        \
  X(pa_context_get_source_info_list)   \
  X(pa_operation_unref)                \
  X(pa_stream_new)                     \
  X(pa_stream_unref)                   \
  X(pa_stream_connect_record)          \
  X(pa_stream_disconnect)              \
  X(pa_stream_peek)                    \
  X(pa_stream_drop)                    \
  X(pa_stream_readable_size)           \
  X(pa_stream_set_read_callback)       \
  X(pa_stream_set_state_callback)      \
  X(pa_stream_get_state)               \
  X(pa_stream_get_context)             \
  X(pa_strerror)                       \
  KESTRAVO_LIBPULSE_FOLLOWING(X)       \
  KESTRAVO_LIBPULSE_APPLICATIONS(X)

// The functions the host calls, each under its own name.
// NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name, not a value
struct Libpulse {
#define KESTRAVO_LIBPULSE_MEMBER(name) decltype(&::name) name = nullptr;
  KESTRAVO_LIBPULSE_FUNCTIONS(KESTRAVO_LIBPULSE_MEMBER)
#undef KESTRAVO_LIBPULSE_MEMBER
};
// NOLINTEND(bugprone-macro-parentheses)

// libpulse.so.0 with every function resolved, loaded on the first call and
// kept for the life of the process (its threads may outlive any one user);
// none when it cannot be loaded or lacks a function.
const Libpulse* libpulse();

}  // namespace kestravo::audio::pulse
