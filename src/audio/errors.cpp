#include "audio/errors.h"

#include "audio/deadline.h"

namespace kestravo::audio::detail {

namespace {
constexpr std::string_view kDeviceGone =
    "The requested device is no longer available. For example, it has been unplugged.";
// A device fails so when the operation's budget has run out, which it has
// by this long after the listing or the capture started.
static_assert(kAnswerBudget == std::chrono::seconds(2), "the text names the budget");
constexpr std::string_view kNoAnswer = "The requested device did not answer within 2 seconds.";
}  // namespace

template <>
bool has_kind<DevicesTag>(ErrorKind kind) {
  return kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<DevicesTag>(ErrorKind) {
  return {};
}

template <>
bool has_kind<DeviceNameTag>(ErrorKind kind) {
  return kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<DeviceNameTag>(ErrorKind) {
  return {};
}

template <>
bool has_kind<SupportedStreamConfigsTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable || kind == ErrorKind::InvalidArgument ||
         kind == ErrorKind::DeviceNotAnswering || kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<SupportedStreamConfigsTag>(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DeviceNotAvailable:
      return kDeviceGone;
    case ErrorKind::InvalidArgument:
      return "Invalid argument passed to the backend. For example, this happens when trying to "
             "read capture capabilities when the device does not support it.";
    case ErrorKind::DeviceNotAnswering:
      return kNoAnswer;
    default:
      return {};
  }
}

template <>
bool has_kind<DefaultStreamConfigTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable || kind == ErrorKind::StreamTypeNotSupported ||
         kind == ErrorKind::DeviceNotAnswering || kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<DefaultStreamConfigTag>(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DeviceNotAvailable:
      return kDeviceGone;
    case ErrorKind::StreamTypeNotSupported:
      return "The requested stream type is not supported by the device.";
    case ErrorKind::DeviceNotAnswering:
      return kNoAnswer;
    default:
      return {};
  }
}

template <>
bool has_kind<BuildStreamTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable || kind == ErrorKind::StreamConfigNotSupported ||
         kind == ErrorKind::InvalidArgument || kind == ErrorKind::StreamIdOverflow ||
         kind == ErrorKind::DeviceNotAnswering || kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<BuildStreamTag>(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DeviceNotAvailable:
      return kDeviceGone;
    case ErrorKind::StreamConfigNotSupported:
      return "The requested stream configuration is not supported by the device.";
    case ErrorKind::InvalidArgument:
      return "The requested device does not support this capability (invalid argument)";
    case ErrorKind::StreamIdOverflow:
      return "Adding a new stream ID would cause an overflow";
    case ErrorKind::DeviceNotAnswering:
      return kNoAnswer;
    default:
      return {};
  }
}

template <>
bool has_kind<PlayStreamTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable || kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<PlayStreamTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable
             ? std::string_view("the device associated with the stream is no longer available")
             : std::string_view();
}

template <>
bool has_kind<StreamTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable || kind == ErrorKind::BackendSpecific;
}
template <>
std::string_view fixed_text<StreamTag>(ErrorKind kind) {
  return kind == ErrorKind::DeviceNotAvailable ? kDeviceGone : std::string_view();
}

}  // namespace kestravo::audio::detail
