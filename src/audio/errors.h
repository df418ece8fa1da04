// Error values of the audio device interface. Each operation has its own
// error type with a closed set of cases; each case has a fixed display text,
// and the backend-specific case carries the host's own description.
#pragma once

#include <string>
#include <string_view>

namespace kestravo::audio {

enum class ErrorKind {
  DeviceNotAvailable,
  InvalidArgument,
  StreamConfigNotSupported,
  StreamTypeNotSupported,
  StreamIdOverflow,
  // The device did not answer an open or a query before the operation's
  // deadline (kAnswerBudget in deadline.h). Unlike the other cases this says
  // nothing about what the device can do.
  DeviceNotAnswering,
  BackendSpecific,
};

namespace detail {
struct DevicesTag;
struct DeviceNameTag;
struct SupportedStreamConfigsTag;
struct DefaultStreamConfigTag;
struct BuildStreamTag;
struct PlayStreamTag;
struct StreamTag;

// Which cases an error type has; defined per tag in errors.cpp.
template <class Tag>
bool has_kind(ErrorKind kind);
// The fixed text of a case other than BackendSpecific.
template <class Tag>
std::string_view fixed_text(ErrorKind kind);
}  // namespace detail

template <class Tag>
struct Error {
  ErrorKind kind = ErrorKind::BackendSpecific;
  // Only meaningful for BackendSpecific.
  std::string description;

  static Error backend(std::string description) {
    return Error{ErrorKind::BackendSpecific, std::move(description)};
  }
  static Error of(ErrorKind kind) { return Error{kind, {}}; }

  // Whether this error type has the case `kind`.
  static bool has(ErrorKind kind) { return detail::has_kind<Tag>(kind); }

  // The display text: the case's fixed text, or
  // "A backend-specific error has occurred: {description}".
  std::string text() const {
    if (kind == ErrorKind::BackendSpecific) {
      return "A backend-specific error has occurred: " + description;
    }
    return std::string(detail::fixed_text<Tag>(kind));
  }

  friend bool operator==(const Error&, const Error&) = default;
};

using DevicesError = Error<detail::DevicesTag>;
using DeviceNameError = Error<detail::DeviceNameTag>;
using SupportedStreamConfigsError = Error<detail::SupportedStreamConfigsTag>;
using DefaultStreamConfigError = Error<detail::DefaultStreamConfigTag>;
using BuildStreamError = Error<detail::BuildStreamTag>;
using PlayStreamError = Error<detail::PlayStreamTag>;
using StreamError = Error<detail::StreamTag>;

}  // namespace kestravo::audio
