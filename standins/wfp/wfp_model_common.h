#pragma once

// What more than one of the model's files needs and no user of the model should see; a helper
// that only one file needs stays in that file.

#include <cstdint>
#include <optional>
#include <string>

#include "standins/wfp/wfp_model.h"

namespace wfp_model::detail {

inline constexpr DWORD kSuccess = 0;

// Sessions and enumerations are kept by number; the handle a caller holds is that number.
inline std::uint64_t HandleValue(HANDLE handle) noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

inline HANDLE ToHandle(std::uint64_t value) noexcept {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

inline std::optional<std::wstring> OptionalText(const wchar_t* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  return std::wstring(text);
}

inline bool IsKnownLayer(const GUID& layer) noexcept {
  return wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4) ||
         wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6);
}

// The weight the platform arbitrates with, which enumeration also hands out.
inline UINT64 EffectiveWeight(const Filter& filter) noexcept {
  switch (filter.weightType) {
    case FWP_UINT8:
      return filter.weight << 60;  // the top four bits select the weight range
    case FWP_UINT64:
      return filter.weight;
    default:
      return 0;  // automatic weight: the model places it at the bottom
  }
}

}  // namespace wfp_model::detail
