// Classification: how the filters in place decide an outbound connection attempt. Apart because
// it only reads the filters, the way the platform arbitrates them, and no platform call reaches it.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {
namespace {

bool PrefixMatches(const std::array<std::uint8_t, 16>& a, const std::array<std::uint8_t, 16>& b,
                   unsigned prefixLength) noexcept {
  for (unsigned bit = 0; bit < prefixLength; ++bit) {
    const unsigned byte = bit / 8;
    const auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if ((a[byte] & mask) != (b[byte] & mask)) {
      return false;
    }
  }
  return true;
}

bool Compare(std::uint64_t actual, FWP_MATCH_TYPE match, std::uint64_t value) noexcept {
  switch (match) {
    case FWP_MATCH_EQUAL:
      return actual == value;
    case FWP_MATCH_NOT_EQUAL:
      return actual != value;
    case FWP_MATCH_GREATER:
      return actual > value;
    case FWP_MATCH_LESS:
      return actual < value;
    case FWP_MATCH_GREATER_OR_EQUAL:
      return actual >= value;
    case FWP_MATCH_LESS_OR_EQUAL:
      return actual <= value;
    case FWP_MATCH_FLAGS_ALL_SET:
      return (actual & value) == value;
    case FWP_MATCH_FLAGS_ANY_SET:
      return (actual & value) != 0;
    case FWP_MATCH_FLAGS_NONE_SET:
      return (actual & value) == 0;
    default:
      return false;
  }
}

bool ConditionHolds(const Condition& condition, const Connection& connection) noexcept {
  const GUID& field = condition.field;
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_ADDRESS)) {
    bool equal = false;
    switch (condition.type) {
      case FWP_UINT32:
        equal = connection.remoteV4 == condition.value;
        break;
      case FWP_V4_ADDR_MASK:
        equal = (connection.remoteV4 & condition.v4Mask) ==
                (static_cast<std::uint32_t>(condition.value) & condition.v4Mask);
        break;
      case FWP_BYTE_ARRAY16_TYPE:
        equal = connection.remoteV6 == condition.v6;
        break;
      case FWP_V6_ADDR_MASK:
        equal = PrefixMatches(connection.remoteV6, condition.v6, condition.prefixLength);
        break;
      default:
        return false;
    }
    return condition.match == FWP_MATCH_NOT_EQUAL ? !equal : equal;
  }
  std::uint64_t actual = 0;
  if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_REMOTE_PORT)) {
    actual = connection.remotePort;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_PORT)) {
    actual = connection.localPort;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_PROTOCOL)) {
    actual = connection.protocol;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_FLAGS)) {
    actual = connection.flags;
  } else if (wfp::SameGuid(field, wfp::FWPM_CONDITION_IP_LOCAL_INTERFACE)) {
    actual = connection.localInterface;
  } else {
    return false;
  }
  return Compare(actual, condition.match, condition.value);
}

// Conditions on the same field are alternatives; conditions on different fields must all hold.
bool FilterMatches(const Filter& filter, const Connection& connection) noexcept {
  for (const Condition& condition : filter.conditions) {
    bool fieldHolds = false;
    for (const Condition& alternative : filter.conditions) {
      if (wfp::SameGuid(alternative.field, condition.field) &&
          ConditionHolds(alternative, connection)) {
        fieldHolds = true;
        break;
      }
    }
    if (!fieldHolds) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Describe(const Connection& c) {
  char text[256];
  if (c.version == IpVersion::kV4) {
    std::snprintf(text, sizeof text, "v4 to %u.%u.%u.%u", static_cast<unsigned>(c.remoteV4 >> 24),
                  static_cast<unsigned>((c.remoteV4 >> 16) & 0xFF),
                  static_cast<unsigned>((c.remoteV4 >> 8) & 0xFF),
                  static_cast<unsigned>(c.remoteV4 & 0xFF));
  } else {
    std::snprintf(text, sizeof text, "v6 to %02x%02x:%02x%02x:...:%02x%02x", c.remoteV6[0],
                  c.remoteV6[1], c.remoteV6[2], c.remoteV6[3], c.remoteV6[14], c.remoteV6[15]);
  }
  std::string result = text;
  std::snprintf(text, sizeof text,
                " port %u protocol %u from local port %u flags 0x%x interface 0x%llx",
                static_cast<unsigned>(c.remotePort), static_cast<unsigned>(c.protocol),
                static_cast<unsigned>(c.localPort), static_cast<unsigned>(c.flags),
                static_cast<unsigned long long>(c.localInterface));
  result += text;
  return result;
}

Decision WfpModel::Classify(const Connection& connection) const noexcept {
  const GUID& layer = connection.version == IpVersion::kV4 ? wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V4
                                                           : wfp::FWPM_LAYER_ALE_AUTH_CONNECT_V6;
  // The deciding filter of each sublayer: the highest weight; at equal weight a block, then the
  // older filter.
  struct Best {
    GUID sublayer;
    const Filter* filter;
    UINT64 weight;
  };
  auto better = [](const Filter& candidate, UINT64 weight, const Best& current) {
    if (weight != current.weight) {
      return weight > current.weight;
    }
    const bool candidateBlocks = candidate.action == FWP_ACTION_BLOCK;
    const bool currentBlocks = current.filter->action == FWP_ACTION_BLOCK;
    if (candidateBlocks != currentBlocks) {
      return candidateBlocks;
    }
    return candidate.id < current.filter->id;
  };
  std::vector<Best> best;
  try {
    for (const auto& [filterId, filter] : filters_) {
      if (!wfp::SameGuid(filter.layer, layer) || !FilterMatches(filter, connection)) {
        continue;
      }
      const UINT64 weight = detail::EffectiveWeight(filter);
      const auto slot = std::find_if(best.begin(), best.end(), [&](const Best& entry) {
        return wfp::SameGuid(entry.sublayer, filter.sublayer);
      });
      if (slot == best.end()) {
        best.push_back(Best{filter.sublayer, &filter, weight});
      } else if (better(filter, weight, *slot)) {
        slot->filter = &filter;
        slot->weight = weight;
      }
    }
  } catch (...) {
    return Decision{Verdict::kBlock, 0};  // out of memory: fail closed
  }
  Decision decision;
  for (const Best& entry : best) {
    if (entry.filter->action == FWP_ACTION_BLOCK) {
      return Decision{Verdict::kBlock, entry.filter->id};  // a block in any sublayer wins
    }
    if (decision.filterId == 0) {
      decision = Decision{Verdict::kPermit, entry.filter->id};
    }
  }
  return decision;
}

}  // namespace wfp_model
