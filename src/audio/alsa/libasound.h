// alsa-lib, loaded when the host is first made rather than linked: a
// capture through the sound server never pays for binding it. Only its
// headers are used at build time, for the types; every function comes
// through dlsym.
#pragma once

#include <alsa/asoundlib.h>

namespace kestravo::audio::alsa {

#define KESTRAVO_LIBASOUND_FUNCTIONS(X)     \
  X(snd_strerror)                           \
  X(snd_lib_error_set_handler)              \
  X(snd_device_name_hint)                   \
  X(snd_device_name_get_hint)               \
  X(snd_device_name_free_hint)              \
  X(snd_pcm_open)                           \
  X(snd_pcm_close)                          \
  X(snd_pcm_start)                          \
  X(snd_pcm_prepare)                        \
  X(snd_pcm_resume)                         \
  X(snd_pcm_state)                          \
  X(snd_pcm_readi)                          \
  X(snd_pcm_avail_update)                   \
  X(snd_pcm_poll_descriptors)               \
  X(snd_pcm_poll_descriptors_count)         \
  X(snd_pcm_poll_descriptors_revents)       \
  X(snd_pcm_query_chmaps)                   \
  X(snd_pcm_free_chmaps)                    \
  X(snd_pcm_get_chmap)                      \
  X(snd_pcm_hw_params)                      \
  X(snd_pcm_hw_params_any)                  \
  X(snd_pcm_hw_params_malloc)               \
  X(snd_pcm_hw_params_free)                 \
  X(snd_pcm_hw_params_copy)                 \
  X(snd_pcm_hw_params_get_channels_min)     \
  X(snd_pcm_hw_params_get_channels_max)     \
  X(snd_pcm_hw_params_get_rate_min)         \
  X(snd_pcm_hw_params_get_rate_max)         \
  X(snd_pcm_hw_params_get_period_size)      \
  X(snd_pcm_hw_params_test_rate)            \
  X(snd_pcm_hw_params_set_access)           \
  X(snd_pcm_hw_params_set_format)           \
  X(snd_pcm_hw_params_set_channels)         \
  X(snd_pcm_hw_params_set_rate)             \
  X(snd_pcm_hw_params_set_rate_near)        \
  X(snd_pcm_hw_params_set_rate_resample)    \
  X(snd_pcm_hw_params_set_period_size_near) \
  X(snd_pcm_hw_params_set_buffer_size_near) \
  X(snd_pcm_hw_params_set_buffer_size_min)  \
  X(snd_pcm_sw_params)                      \
  X(snd_pcm_sw_params_malloc)               \
  X(snd_pcm_sw_params_free)                 \
  X(snd_pcm_sw_params_current)              \
  X(snd_pcm_sw_params_set_avail_min)

// The functions the host calls, each under its own name.
// NOLINTBEGIN(bugprone-macro-parentheses): the argument is a name, not a value
struct Libasound {
#define KESTRAVO_LIBASOUND_MEMBER(name) decltype(&::name) name = nullptr;
  KESTRAVO_LIBASOUND_FUNCTIONS(KESTRAVO_LIBASOUND_MEMBER)
#undef KESTRAVO_LIBASOUND_MEMBER
};
// NOLINTEND(bugprone-macro-parentheses)

// libasound.so.2 with every function resolved, loaded on the first call and
// kept for the life of the process; none when it cannot be loaded or lacks
// a function.
const Libasound* libasound();

// The loaded library, for the host's parts: only a host made while
// libasound() was there reaches them.
inline const Libasound& asound() { return *libasound(); }

}  // namespace kestravo::audio::alsa
