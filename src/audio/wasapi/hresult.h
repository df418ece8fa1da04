// HRESULTs as the error texts show them.
#pragma once

#include <windows.h>

#include <string>

namespace kestravo::audio::wasapi {

// HRESULT_FROM_WIN32(ERROR_NOT_FOUND): IMMDeviceEnumerator::GetDevice's answer
// for an endpoint id that no longer exists (mingw-w64 has no E_NOTFOUND).
inline constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490);

// "AUDCLNT_E_DEVICE_IN_USE (0x8889000A)"; "0x80004005"-style hex alone for a
// value without a known name.
std::string hresult_text(HRESULT result);

}  // namespace kestravo::audio::wasapi
