#pragma once

// Shared by the kill-switch tests: a KillSwitch bound to the filtering platform model, and a
// plain-text signature of a filter so whole filter sets compare (and print) readably.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "killswitch/filter_records.h"
#include "killswitch/kill_switch.h"
#include "standins/wfp/wfp_model.h"

namespace kill_switch_test {

inline constexpr UINT64 kTunLuid = 0x0006000000010000ULL;  // an IF_TYPE_PROP_VIRTUAL-style LUID
inline const std::wstring kTunAlias = L"OrvaneTun";

struct Harness {
  Harness() { model.SetInterfaceAlias(kTunAlias, kTunLuid); }

  std::vector<wfp_model::Filter> Ours() const {
    return model.FiltersOfProvider(KillSwitchProviderKey);
  }
  // The status-returning calls made since the log was last cleared.
  std::vector<wfp_model::Call> StatusCalls() const {
    std::vector<wfp_model::Call> calls;
    for (const wfp_model::CallRecord& record : model.Calls()) {
      if (record.call != wfp_model::Call::kFreeMemory) {
        calls.push_back(record.call);
      }
    }
    return calls;
  }

  // Declared first so it outlives the kill switch, which closes its session on destruction.
  wfp_model::WfpModel model;
  KillSwitch killSwitch{model};
};

inline std::string Narrow(const std::wstring& text) {
  std::string result;
  for (wchar_t c : text) {
    result += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return result;
}

inline std::string FieldName(const GUID& field) {
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS))
    return "remoteAddress";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_PORT))
    return "remotePort";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_PORT))
    return "localPort";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_PROTOCOL))
    return "protocol";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_FLAGS))
    return "flags";
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE))
    return "localInterface";
  return "unknown-field";
}

inline std::string LayerName(const GUID& layer) {
  if (wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4))
    return "V4";
  if (wfp::SameGuid(layer, wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6))
    return "V6";
  return "unknown-layer";
}

// "name | layer | action | weight | field match type value[/mask]; ..."
inline std::string Signature(const wfp_model::Filter& filter) {
  char text[160];
  std::string result = Narrow(filter.name) + " | " + LayerName(filter.layer) + " | ";
  result += filter.action == FWP_ACTION_BLOCK    ? "block"
            : filter.action == FWP_ACTION_PERMIT ? "permit"
                                                 : "other";
  std::snprintf(text, sizeof text, " | type%d:%llu |", static_cast<int>(filter.weightType),
                static_cast<unsigned long long>(filter.weight));
  result += text;
  for (const wfp_model::Condition& condition : filter.conditions) {
    std::snprintf(text, sizeof text, " %s m%d t%d 0x%llx", FieldName(condition.field).c_str(),
                  static_cast<int>(condition.match), static_cast<int>(condition.type),
                  static_cast<unsigned long long>(condition.value));
    result += text;
    if (condition.type == FWP_V4_ADDR_MASK) {
      std::snprintf(text, sizeof text, "/0x%x", static_cast<unsigned>(condition.v4Mask));
      result += text;
    }
    result += ";";
  }
  return result;
}

inline std::vector<std::string> Signatures(const std::vector<wfp_model::Filter>& filters) {
  std::vector<std::string> result;
  for (const wfp_model::Filter& filter : filters) {
    result.push_back(Signature(filter));
  }
  return result;
}

// The filter set a configuration must produce, written out from the design table by hand rather
// than through the record builders, in the order the filters are added.
inline std::vector<std::string> ExpectedSet(const KillSwitchConfig& config) {
  std::vector<std::string> set;
  const auto block = [](const std::string& layer) {
    return "OrvaneVPN Block All | " + layer + " | block | type1:1 |";
  };
  const auto loopback = [](const std::string& layer) {
    return "OrvaneVPN Permit Loopback | " + layer + " | permit | type1:10 | flags m6 t3 0x1;";
  };
  set.push_back(block("V4"));
  if (config.blockIpv6OutsideVpn) {
    set.push_back(block("V6"));
  }
  set.push_back(loopback("V4"));
  if (config.blockIpv6OutsideVpn) {
    set.push_back(loopback("V6"));
  }
  set.push_back(
      "OrvaneVPN Permit DHCP | V4 | permit | type1:10 | protocol m0 t1 0x11; localPort m0 t2 "
      "0x44;");
  for (const VpnEndpoint& endpoint : config.endpoints) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "OrvaneVPN Permit VPN Endpoint | V4 | permit | type1:10 | remoteAddress m0 t256 "
                  "0x%x/0xffffffff; remotePort m0 t2 0x%x; protocol m0 t1 0x%x;",
                  static_cast<unsigned>(endpoint.address), static_cast<unsigned>(endpoint.port),
                  static_cast<unsigned>(endpoint.protocol));
    set.push_back(text);
  }
  if (config.allowLan) {
    const std::string ranges[4][2] = {{"10/8", "0xa000000/0xff000000"},
                                      {"172.16/12", "0xac100000/0xfff00000"},
                                      {"192.168/16", "0xc0a80000/0xffff0000"},
                                      {"Link-Local", "0xa9fe0000/0xffff0000"}};
    for (const auto& range : ranges) {
      set.push_back("OrvaneVPN Permit LAN " + range[0] +
                    " | V4 | permit | type1:10 | remoteAddress m0 t256 " + range[1] + ";");
    }
  }
  return set;
}

inline std::string TunPermitSignature(const char* layer, UINT64 luid) {
  char text[160];
  std::snprintf(text, sizeof text,
                "OrvaneVPN Permit TUN Interface | %s | permit | type1:10 | localInterface m0 t4 "
                "0x%llx;",
                layer, static_cast<unsigned long long>(luid));
  return text;
}

}  // namespace kill_switch_test
