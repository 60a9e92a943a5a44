#pragma once

// The platform headers for the filtering platform and the IP helper, in the order both the
// mingw-w64 headers and the Windows SDK accept, plus what the mingw-w64 headers lack: the session
// flag and the keys of the connect layers and of the condition fields we use.
//
// The Windows SDK defines the same keys as global GUID objects, so ours live in namespace `wfp`
// under the platform's names: both can coexist and a reader finds the familiar name. Flags are
// macros in the SDK, so those are defined only where missing.

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <fwpmu.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#ifndef FWPM_SESSION_FLAG_DYNAMIC
#define FWPM_SESSION_FLAG_DYNAMIC (0x00000001)
#endif
#ifndef FWPM_TXN_READ_ONLY
#define FWPM_TXN_READ_ONLY (0x00000001)
#endif
#ifndef FWPM_PROVIDER_FLAG_PERSISTENT
#define FWPM_PROVIDER_FLAG_PERSISTENT (0x00000001)
#endif
#ifndef FWPM_SUBLAYER_FLAG_PERSISTENT
#define FWPM_SUBLAYER_FLAG_PERSISTENT (0x00000001)
#endif

namespace wfp {

// {C38D57D1-05A7-4C33-904F-7FBCEEE60E82}
inline constexpr GUID FWPM_LAYER_ALE_AUTH_CONNECT_V4{
    0xC38D57D1, 0x05A7, 0x4C33, {0x90, 0x4F, 0x7F, 0xBC, 0xEE, 0xE6, 0x0E, 0x82}};
// {4A72393B-319F-44BC-84C3-BA54DCB3B6B4}
inline constexpr GUID FWPM_LAYER_ALE_AUTH_CONNECT_V6{
    0x4A72393B, 0x319F, 0x44BC, {0x84, 0xC3, 0xBA, 0x54, 0xDC, 0xB3, 0xB6, 0xB4}};

// {B235AE9A-1D64-49B8-A44C-5FF3D9095045}
inline constexpr GUID FWPM_CONDITION_IP_REMOTE_ADDRESS{
    0xB235AE9A, 0x1D64, 0x49B8, {0xA4, 0x4C, 0x5F, 0xF3, 0xD9, 0x09, 0x50, 0x45}};
// {4CD62A49-59C3-4969-B7F3-BDA5D32890A4}
inline constexpr GUID FWPM_CONDITION_IP_LOCAL_INTERFACE{
    0x4CD62A49, 0x59C3, 0x4969, {0xB7, 0xF3, 0xBD, 0xA5, 0xD3, 0x28, 0x90, 0xA4}};
// {3971EF2B-623E-4F9A-8CB1-6E79B806B9A7}
inline constexpr GUID FWPM_CONDITION_IP_PROTOCOL{
    0x3971EF2B, 0x623E, 0x4F9A, {0x8C, 0xB1, 0x6E, 0x79, 0xB8, 0x06, 0xB9, 0xA7}};
// {0C1BA1AF-5765-453F-AF22-A8F791AC775B}
inline constexpr GUID FWPM_CONDITION_IP_LOCAL_PORT{
    0x0C1BA1AF, 0x5765, 0x453F, {0xAF, 0x22, 0xA8, 0xF7, 0x91, 0xAC, 0x77, 0x5B}};
// {C35A604D-D22B-4E1A-91B4-68F674EE674B}
inline constexpr GUID FWPM_CONDITION_IP_REMOTE_PORT{
    0xC35A604D, 0xD22B, 0x4E1A, {0x91, 0xB4, 0x68, 0xF6, 0x74, 0xEE, 0x67, 0x4B}};
// {632CE23B-5167-435C-86D7-E903684AA80C}
inline constexpr GUID FWPM_CONDITION_FLAGS{
    0x632CE23B, 0x5167, 0x435C, {0x86, 0xD7, 0xE9, 0x03, 0x68, 0x4A, 0xA8, 0x0C}};

// The platform's status codes are HRESULT-typed macros; its functions return DWORD.
constexpr DWORD Status(HRESULT code) noexcept {
  return static_cast<DWORD>(code);
}

// GUID comparison without the headers' operator==, which is not constexpr.
constexpr bool SameGuid(const GUID& a, const GUID& b) noexcept {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
    return false;
  }
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) {
      return false;
    }
  }
  return true;
}

constexpr bool IsZeroGuid(const GUID& key) noexcept {
  return SameGuid(key, GUID{});
}

}  // namespace wfp
