// What tests read of the model's state: copies and look-ups, nothing that changes it. Apart so that
// the files doing the platform's work hold only that work.

#include <optional>
#include <vector>

#include "standins/wfp/wfp_model.h"

namespace wfp_model {

std::vector<Filter> WfpModel::Filters() const {
  std::vector<Filter> result;
  result.reserve(filters_.size());
  for (const auto& entry : filters_) {
    result.push_back(entry.second);
  }
  return result;
}

std::vector<Filter> WfpModel::FiltersOfProvider(const GUID& providerKey) const {
  std::vector<Filter> result;
  for (const auto& entry : filters_) {
    if (entry.second.providerKey && wfp::SameGuid(*entry.second.providerKey, providerKey)) {
      result.push_back(entry.second);
    }
  }
  return result;
}

const Filter* WfpModel::FindFilter(UINT64 id) const noexcept {
  const auto it = filters_.find(id);
  return it == filters_.end() ? nullptr : &it->second;
}

std::optional<Provider> WfpModel::FindProvider(const GUID& key) const {
  for (const Provider& provider : providers_) {
    if (wfp::SameGuid(provider.key, key)) {
      return provider;
    }
  }
  return std::nullopt;
}

std::optional<Sublayer> WfpModel::FindSublayer(const GUID& key) const {
  for (const Sublayer& sublayer : sublayers_) {
    if (wfp::SameGuid(sublayer.key, key)) {
      return sublayer;
    }
  }
  return std::nullopt;
}

std::vector<Session> WfpModel::OpenSessions() const {
  std::vector<Session> result;
  for (const auto& entry : sessions_) {
    result.push_back(entry.second);
  }
  return result;
}

}  // namespace wfp_model
