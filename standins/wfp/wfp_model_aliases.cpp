// The interface alias table: ConvertInterfaceAliasToLuid, the one IP helper call the kill switch
// makes, answered from names a test sets. Apart because it belongs to iphlpapi.dll, not to WFP.

#include <string>
#include <string_view>
#include <utility>

#include "standins/wfp/wfp_model.h"
#include "standins/wfp/wfp_model_common.h"

namespace wfp_model {

void WfpModel::SetInterfaceAlias(std::wstring alias, UINT64 luid) {
  for (auto& entry : aliases_) {
    if (entry.first == alias) {
      entry.second = luid;
      return;
    }
  }
  aliases_.emplace_back(std::move(alias), luid);
}

DWORD WfpModel::AliasToLuid(const WCHAR* alias, NET_LUID* luid) const {
  if (alias == nullptr || luid == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::wstring_view wanted(alias);
  for (const auto& [name, value] : aliases_) {
    if (name == wanted) {
      luid->Value = value;
      return detail::kSuccess;
    }
  }
  return ERROR_INVALID_PARAMETER;  // what the platform answers for an alias it does not know
}

}  // namespace wfp_model
