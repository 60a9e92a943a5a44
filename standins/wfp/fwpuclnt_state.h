#pragma once

#include <memory>
#include <mutex>

#include "standins/wfp/wfp_model.h"

// The one filtering platform of the stand-in fwpuclnt.dll, shared by its Fwpm*0 exports and its
// read-outs.
namespace standin_wfp {

struct Platform {
  // The kill switch calls on the UI thread, but a control thread may read at the same time.
  std::mutex lock;
  std::unique_ptr<wfp_model::WfpModel> model = std::make_unique<wfp_model::WfpModel>();
};

// Never destroyed: the host may close its session from a destructor that runs after this DLL's
// own static objects are gone.
Platform& Shared();

}  // namespace standin_wfp
